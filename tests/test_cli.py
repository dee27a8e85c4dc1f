import subprocess
import sys


def test_sample_run_recovers_the_forward():
    out = subprocess.run([sys.executable, "-P", "-m", "kelvo"], capture_output=True, text=True,
                         check=True).stdout
    line = next(l for l in out.splitlines() if l.startswith("implied forward"))
    assert abs(float(line.split()[2]) - 101.005017) < 1e-5
    rows = [l.split() for l in out.splitlines() if l[:8].strip().replace(".", "").isdigit()]
    assert len(rows) == 9
    for strike, sigma, call, put, call_iv, put_iv in rows:
        assert abs(float(call_iv) - float(sigma)) < 1e-4 and abs(float(put_iv) - float(sigma)) < 1e-4


def test_readme_example():
    import doctest
    import re
    from pathlib import Path

    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", readme, re.S)
    assert blocks
    runner = doctest.DocTestRunner()
    for i, block in enumerate(blocks):
        runner.run(doctest.DocTestParser().get_doctest(block, {}, f"README[{i}]", "README.md", 0))
    assert runner.summarize(verbose=False).failed == 0

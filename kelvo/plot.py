"""The smile picture of ``kelvo --plot`` (matplotlib, from the optional extra kelvo[plot])."""
import numpy as np


def plot_smile(points, forward, path, expiry=None, format=None):
    """points: (strikes, call sigma, put sigma) arrays per chunk; annualised when expiry is known.
    path: a file name or a binary file object (then with format, e.g. "png")."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    strikes, calls, puts = (np.concatenate(parts) for parts in zip(*points))
    scale = 1 / np.sqrt(expiry) if expiry and expiry > 0 else 1.0
    fig, ax = plt.subplots(figsize=(8, 5))
    ax.plot(strikes, calls * scale, "o-", ms=3, label="calls")
    ax.plot(strikes, puts * scale, "s--", ms=3, label="puts")
    if np.isfinite(forward):
        ax.axvline(forward, color="grey", lw=1, ls=":", label=f"forward {forward:.4f}")
    ax.set_xlabel("strike")
    ax.set_ylabel("implied volatility" if scale != 1.0 else "implied total standard deviation")
    ax.set_title("BAW implied volatility smile")
    ax.legend()
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110, format=format)
    plt.close(fig)

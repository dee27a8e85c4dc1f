"""Sphinx configuration of kelvo's reference documentation (built with warnings as errors:
`sphinx-build -W -b html docs docs/_build/html`, and its examples run with `-b doctest`)."""
import kelvo

project = "kelvo"
author = "the kelvo developers"
copyright = "2026, the kelvo developers"
release = version = kelvo.__version__

extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "sphinx.ext.doctest", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "development.md"]
myst_heading_anchors = 3
napoleon_numpy_docstring = True
napoleon_google_docstring = False
autodoc_member_order = "bysource"
autodoc_typehints = "description"
html_theme = "alabaster"
html_static_path = []
doctest_global_setup = "import numpy as np\nimport kelvo"
nitpicky = False

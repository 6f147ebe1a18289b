"""Sphinx configuration of korva's documentation: ``make docs`` builds it into build/docs/html."""

import sys
from importlib.metadata import version as installed_version
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "korva"
author = "The korva developers"
copyright = "2026, The korva developers"
release = installed_version("korva")
version = release

extensions = ["sphinx.ext.autodoc", "numpydoc", "myst_parser", "korva_docs"]
source_suffix = {".md": "markdown", ".rst": "restructuredtext"}
exclude_patterns = ["_ext"]
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_typehints = "none"  # numpydoc's Parameters sections give the types
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

html_theme = "furo"
html_title = f"korva {release}"

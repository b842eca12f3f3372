"""Builders shared by the test modules: PLY files, COLMAP models, and the
small independent references the tools are checked against."""

"""korva's tests; a package, so that scripts/fuzz.py and child interpreters import its modules as tests.*."""

"""qv's management commands, shared argument handling in _column.py."""

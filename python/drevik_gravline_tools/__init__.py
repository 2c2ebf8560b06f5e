"""Pure-Python tools around drevik_gravline: the gravline-show command (show.py)."""

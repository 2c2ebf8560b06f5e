"""Pure-Python tools around the engine's modules: the main self-play job and
the runner that spreads it over a Ray cluster."""

"""Pure-Python tools around drevik_gravline: the self-play main job
(`python -m drevik_gravline_tools.self_play`) and its helpers, the runner that
spreads the job over a Ray cluster (`ray_runner`), runs streamed to a folder of
shards (`shards`), a replay buffer over them (`replay`), and the gravline-show
command (`show`)."""

"""Train a 7x6 agent from zero on the CPU: self-play with the batched tree
search, a replay window of the games' records, and a small residual network
in PyTorch trained on minibatches drawn from it.

    pip install torch --index-url https://download.pytorch.org/whl/cpu
    python examples/train.py --minutes 45 --out runs/train

Each round plays `--games` games at once with `self_play_search` (one tree
per game, every leaf of every tree valued in one network call per step), adds
their records to the replay window, and trains on `expand` minibatches with
their mirrors; the network trained is the one the next round plays with (no
gating). Every `--report-minutes` it measures the agent:

  accuracy     the raw network (no search): its move keeps the exact score in
               that share of the shipped middle-game positions
  vs_tactical  the searching agent's score against the tactical policy
  vs_rollout   the searching agent's score against the rollout search with the
               same simulations (800 by default), both searching afresh per move

and appends a row to OUT/progress.csv, redraws OUT/progress.svg (accuracy and
scores against wall time), and writes a checkpoint (OUT/checkpoint.pt and the
replay window, OUT/buffer-N.npz). Running the command again with the same
OUT resumes from the checkpoint: the network, the optimizer, the replay
window, the counters and the seeds' positions, until the total time reaches
--minutes (--fresh starts over instead).

Your own network: anything in place of `make_network` that returns a
torch.nn.Module taking float32 planes (B, 17, H, W) and returning (logits
(B, W), values (B,)), the values in [-1, 1] for the side to move, trains here
as it is; the search hands it the planes of all its leaves at once through
`Evaluator`. Nothing else in the loop depends on the network's shape.
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import sys
import time
from pathlib import Path

# The search's threads and the network's take turns on the same cores; an
# OpenMP thread that spins while it waits would take a core from the search
# (and on a busy machine makes two threads ten times slower than one).
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

from drevik_gravline_batch import Records, Search, Solver, self_play_search
from drevik_gravline_tools.arena import accuracy, load_positions, play_match

try:
    from tqdm import tqdm
except ImportError:  # the bars are a convenience
    tqdm = None

PLANES = 17


# ---- the network ----


class ResidualBlock(nn.Module):
    def __init__(self, channels: int) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = F.relu(self.bn1(self.conv1(x)))
        return F.relu(x + self.bn2(self.conv2(y)))


class Network(nn.Module):
    """A convolutional stem, `blocks` residual blocks of `channels`, and two
    heads: one logit per column, and a value in [-1, 1] for the side to move."""

    def __init__(self, width: int, height: int, blocks: int, channels: int) -> None:
        super().__init__()
        cells = width * height
        self.stem = nn.Sequential(nn.Conv2d(PLANES, channels, 3, padding=1, bias=False),
                                  nn.BatchNorm2d(channels), nn.ReLU())
        self.body = nn.Sequential(*[ResidualBlock(channels) for _ in range(blocks)])
        self.policy = nn.Sequential(nn.Conv2d(channels, 2, 1, bias=False), nn.BatchNorm2d(2), nn.ReLU(),
                                    nn.Flatten(), nn.Linear(2 * cells, width))
        self.value = nn.Sequential(nn.Conv2d(channels, 1, 1, bias=False), nn.BatchNorm2d(1), nn.ReLU(),
                                   nn.Flatten(), nn.Linear(cells, 64), nn.ReLU(), nn.Linear(64, 1), nn.Tanh())

    def forward(self, x: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        h = self.body(self.stem(x))
        return self.policy(h), self.value(h).squeeze(1)


def make_network(width: int, height: int, blocks: int, channels: int) -> nn.Module:
    """Put your own network here (see the module's docstring for its contract)."""
    return Network(width, height, blocks, channels).to(memory_format=torch.channels_last)


class Evaluator:
    """The network as the search calls it: planes and legal masks of all the
    leaves in, NumPy logits and values out. Runs in bfloat16 where the CPU
    has it (about twice as fast as float32 here), and keeps the time spent."""

    def __init__(self, net: nn.Module, bfloat16: bool) -> None:
        self.net = net
        self.bfloat16 = bfloat16
        self.seconds = 0.0
        self.positions = 0

    def __call__(self, planes: np.ndarray, mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        start = time.perf_counter()
        self.net.eval()
        x = torch.from_numpy(planes).contiguous(memory_format=torch.channels_last)
        with torch.inference_mode(), torch.autocast("cpu", dtype=torch.bfloat16, enabled=self.bfloat16):
            logits, values = self.net(x)
            logits = logits.float().numpy()
            values = np.clip(values.float().numpy(), -1.0, 1.0)
        self.seconds += time.perf_counter() - start
        self.positions += len(planes)
        return logits, values


# ---- the replay window ----


class Replay:
    """The records of the newest `window` positions, in memory (60 bytes a
    7x6 position), and the minibatches drawn from them with mirrors."""

    def __init__(self, window: int, seed: int) -> None:
        self.window = window
        self.records: Records | None = None
        self.rng = np.random.default_rng(seed)
        self._out: dict | None = None

    def __len__(self) -> int:
        return 0 if self.records is None else len(self.records)

    def add(self, records: Records) -> None:
        joined = records if self.records is None else Records.concat([self.records, records])
        self.records = joined[max(0, len(joined) - self.window):]

    def sample(self, positions: int) -> dict:
        """`positions` drawn uniformly with replacement, then their mirrors;
        the arrays are reused from draw to draw."""
        assert self.records is not None
        idx = self.rng.integers(0, len(self.records), positions)
        batch = self.records.expand(idx, mirror=True, out=self._out)
        # The five arrays are written in place next time (root_values, which
        # only records of a search carry, comes new with each draw).
        self._out = {k: v for k, v in batch.items() if k != "root_values"}
        return batch


# ---- training ----


def legal_columns(states: torch.Tensor) -> torch.Tensor:
    """A column is legal while its top cell is empty in both pieces' planes."""
    return (states[:, 0, -1, :] + states[:, 1, -1, :]) == 0


def train_step(net: nn.Module, opt: torch.optim.Optimizer, batch: dict, value_mix: float,
               bfloat16: bool) -> tuple[float, float]:
    """One step on a minibatch: cross-entropy of the search's distribution over
    the legal columns, squared error of the value target (the game's result
    mixed with the search's root value)."""
    states = torch.from_numpy(batch["states"]).contiguous(memory_format=torch.channels_last)
    target_pi = torch.from_numpy(batch["policies"])
    target_v = torch.from_numpy(batch["values"])
    if value_mix > 0:
        target_v = (1 - value_mix) * target_v + value_mix * torch.from_numpy(batch["root_values"])
    net.train()
    with torch.autocast("cpu", dtype=torch.bfloat16, enabled=bfloat16):
        logits, values = net(states)
    logits = logits.float().masked_fill(~legal_columns(states), -1e9)
    policy_loss = -(target_pi * F.log_softmax(logits, dim=1)).sum(1).mean()
    value_loss = F.mse_loss(values.float(), target_v)
    opt.zero_grad(set_to_none=True)
    (policy_loss + value_loss).backward()
    opt.step()
    return policy_loss.item(), value_loss.item()


# ---- agents for the arena ----


class RawAgent:
    """The network alone: the legal column of the highest logit."""

    def __init__(self, evaluator: Evaluator) -> None:
        self.evaluator = evaluator

    def __call__(self, planes: np.ndarray, mask: np.ndarray) -> np.ndarray:
        logits, _ = self.evaluator(np.ascontiguousarray(planes), mask)
        return np.where(mask, logits, -np.inf).argmax(1)


class SearchAgent:
    """A fresh search per move from each running game's position, evaluated
    by the network or by random playouts ("rollout"), without root noise."""

    wants_games = True

    def __init__(self, evaluate, simulations: int, algorithm: str, leaves_per_step: int, seed: int,
                 threads: int) -> None:
        self.evaluate, self.simulations, self.algorithm = evaluate, simulations, algorithm
        self.leaves_per_step, self.seed, self.threads = leaves_per_step, seed, threads
        self.calls = 0

    def __call__(self, games, mask: np.ndarray) -> np.ndarray:
        self.calls += 1
        search = Search(games, simulations=self.simulations, algorithm=self.algorithm,
                        leaves_per_step=self.leaves_per_step, dirichlet_fraction=0.0, gumbel_scale=0.0,
                        seed=self.seed * 1000 + self.calls, threads=self.threads)
        search.run(self.evaluate)
        return search.best_actions()


# ---- reports: progress bars, the CSV, the plot ----


def bar(total: int, desc: str, quiet: bool):
    if tqdm is None or quiet:
        return None
    return tqdm(total=total, desc=desc, leave=False, mininterval=1.0, dynamic_ncols=True)


def count_to(progress):
    """A callback for a count that rises (plies played, games finished), or None."""
    return None if progress is None else (lambda n: progress.update(n - progress.n))


COLUMNS = ["minutes", "games", "positions", "train_steps", "loss", "policy_loss", "value_loss", "accuracy",
           "vs_tactical", "vs_rollout", "rollout_games", "rollout_simulations", "search_s", "inference_s",
           "training_s", "evaluation_s"]


def read_rows(path: Path) -> list[dict]:
    if not path.exists():
        return []
    with path.open(newline="") as f:
        return list(csv.DictReader(f))


def append_row(path: Path, row: dict) -> None:
    new = not path.exists()
    with path.open("a", newline="") as f:
        w = csv.DictWriter(f, fieldnames=COLUMNS)
        if new:
            w.writeheader()
        w.writerow({k: row[k] for k in COLUMNS})


def write_plot(path: Path, rows: list[dict]) -> None:
    """The learning curve as an SVG drawn by hand (no plotting library needed):
    accuracy and the two arena scores against minutes, with the goals dashed."""
    W, H, left, right, top, bottom = 640, 380, 56, 150, 24, 44
    pw, ph = W - left - right, H - top - bottom
    tmax = max([float(r["minutes"]) for r in rows] + [1.0])
    x = lambda t: left + pw * t / tmax  # noqa: E731
    y = lambda v: top + ph * (1 - v)  # noqa: E731
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{W}" height="{H}" font-family="sans-serif" font-size="12">',
           f'<rect width="{W}" height="{H}" fill="white"/>']
    for v in (0, 0.2, 0.4, 0.6, 0.8, 1.0):
        out.append(f'<line x1="{left}" y1="{y(v):.1f}" x2="{left + pw}" y2="{y(v):.1f}" stroke="#ddd"/>')
        out.append(f'<text x="{left - 6}" y="{y(v) + 4:.1f}" text-anchor="end">{v:.1f}</text>')
    step = max(1, math.ceil(tmax / 8))
    for t in range(0, int(tmax) + 1, step):
        out.append(f'<text x="{x(t):.1f}" y="{top + ph + 16}" text-anchor="middle">{t}</text>')
    out.append(f'<text x="{left + pw / 2}" y="{H - 8}" text-anchor="middle">minutes</text>')
    out.append(f'<rect x="{left}" y="{top}" width="{pw}" height="{ph}" fill="none" stroke="#444"/>')
    series = [("accuracy", "#1f77b4", "raw net accuracy", 0.8), ("vs_rollout", "#d62728", "vs rollout search", 0.9),
              ("vs_tactical", "#2ca02c", "vs tactical", None)]
    for i, (key, colour, label, goal) in enumerate(series):
        pts = [(float(r["minutes"]), float(r[key])) for r in rows if r.get(key) not in (None, "", "nan")]
        if goal is not None:
            out.append(f'<line x1="{left}" y1="{y(goal):.1f}" x2="{left + pw}" y2="{y(goal):.1f}" '
                       f'stroke="{colour}" stroke-dasharray="4 4" opacity="0.6"/>')
        if pts:
            line = " ".join(f"{x(t):.1f},{y(v):.1f}" for t, v in pts)
            out.append(f'<polyline points="{line}" fill="none" stroke="{colour}" stroke-width="2"/>')
            out += [f'<circle cx="{x(t):.1f}" cy="{y(v):.1f}" r="3" fill="{colour}"/>' for t, v in pts]
        ly = top + 14 + 20 * i
        out.append(f'<line x1="{left + pw + 10}" y1="{ly - 4}" x2="{left + pw + 30}" y2="{ly - 4}" '
                   f'stroke="{colour}" stroke-width="2"/>')
        out.append(f'<text x="{left + pw + 34}" y="{ly}">{label}</text>')
    out.append("</svg>")
    tmp = path.with_suffix(".svg.tmp")
    tmp.write_text("\n".join(out) + "\n")
    os.replace(tmp, path)


# ---- checkpoints ----


def save_checkpoint(out: Path, state: dict, replay: Replay) -> None:
    """The replay window to buffer-N.npz, then the checkpoint naming it, each
    written under a temporary name and renamed: a run stopped at any moment
    leaves the previous checkpoint whole."""
    name = f"buffer-{state['round']}.npz"
    assert replay.records is not None
    replay.records.save(out / (name + ".tmp.npz"))
    os.replace(out / (name + ".tmp.npz"), out / name)
    state = dict(state, buffer=name, replay_rng=replay.rng.bit_generator.state)
    torch.save(state, out / "checkpoint.pt.tmp")
    os.replace(out / "checkpoint.pt.tmp", out / "checkpoint.pt")
    for old in out.glob("buffer-*.npz"):
        if old.name != name:
            old.unlink()


def load_checkpoint(out: Path) -> dict | None:
    path = out / "checkpoint.pt"
    if not path.exists():
        return None
    return torch.load(path, weights_only=True)


# ---- the loop ----


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], formatter_class=argparse.RawTextHelpFormatter)
    p.add_argument("--minutes", type=float, required=True, help="total training time, resumed runs included")
    p.add_argument("--out", type=Path, required=True, help="folder of progress.csv, progress.svg, checkpoint")
    p.add_argument("--rounds", type=int, default=None, help="stop after this many rounds too, resumed ones included")
    p.add_argument("--fresh", action="store_true", help="start over even if OUT holds a checkpoint")
    p.add_argument("--width", type=int, default=7)
    p.add_argument("--height", type=int, default=6)
    p.add_argument("--blocks", type=int, default=4, help="residual blocks (default 4)")
    p.add_argument("--channels", type=int, default=32, help="channels of each block (default 32)")
    p.add_argument("--games", type=int, default=256, help="self-play games played at once per round")
    p.add_argument("--simulations", type=int, default=32, help="search simulations per self-play move")
    p.add_argument("--algorithm", choices=["gumbel", "puct"], default="gumbel")
    p.add_argument("--leaves-per-step", type=int, default=4)
    p.add_argument("--temperature-moves", type=int, default=8, help="opening plies drawn from the search's policy")
    p.add_argument("--window", type=int, default=250_000, help="replay window in positions")
    p.add_argument("--batch", type=int, default=256, help="positions per minibatch (twice that with mirrors)")
    p.add_argument("--reuse", type=float, default=4.0, help="draws per new position (training steps per round)")
    p.add_argument("--lr", type=float, default=2e-3, help="learning rate, decayed to a tenth over --minutes")
    p.add_argument("--value-mix", type=float, default=0.5, help="share of the search's root value in the value target")
    p.add_argument("--report-minutes", type=float, default=5.0, help="minutes between reports (0: every round)")
    p.add_argument("--accuracy-positions", type=int, default=None,
                   help="the first N of the shipped middle-game positions only (default: all 300)")
    p.add_argument("--eval-games", type=int, default=64, help="games of the match against the tactical policy")
    p.add_argument("--rollout-games", type=int, default=16, help="games against the rollout search per report")
    p.add_argument("--final-rollout-games", type=int, default=64, help="the same at the last report")
    p.add_argument("--eval-simulations", type=int, default=800, help="simulations of both sides against the rollout search")
    p.add_argument("--threads", type=int, default=2, help="threads of the search and of the network")
    p.add_argument("--no-bfloat16", dest="bfloat16", action="store_false",
                   help="run the network in float32 (it does where the CPU has no bfloat16 instructions)")
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--quiet", action="store_true", help="no progress bars")
    return p.parse_args(argv)


# Settings a resumed run takes from its checkpoint rather than the command line.
FIXED = ("width", "height", "blocks", "channels", "seed")


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    out: Path = args.out
    out.mkdir(parents=True, exist_ok=True)
    torch.set_num_threads(args.threads)
    checkpoint = None if args.fresh else load_checkpoint(out)
    if args.fresh:
        for f in [out / "checkpoint.pt", out / "progress.csv", out / "progress.svg", *out.glob("buffer-*.npz")]:
            f.unlink(missing_ok=True)
    if checkpoint is not None:
        for k in FIXED:
            setattr(args, k, checkpoint["args"][k])
    W, H = args.width, args.height
    if args.bfloat16:  # emulated bfloat16 is slower than float32
        try:
            args.bfloat16 = bool(torch.ops.mkldnn._is_mkldnn_bf16_supported())
        except (AttributeError, RuntimeError):
            args.bfloat16 = False

    torch.manual_seed(args.seed)
    net = make_network(W, H, args.blocks, args.channels)
    opt = torch.optim.AdamW(net.parameters(), lr=args.lr, weight_decay=1e-4)
    replay = Replay(args.window, args.seed)
    evaluator = Evaluator(net, args.bfloat16)
    state = {"round": 0, "games": 0, "positions": 0, "train_steps": 0, "seconds": 0.0,
             "search_s": 0.0, "inference_s": 0.0, "training_s": 0.0, "evaluation_s": 0.0,
             "next_report": args.report_minutes * 60, "reported": 0, "final": False,
             "policy_loss": math.nan, "value_loss": math.nan}
    if checkpoint is not None:
        net.load_state_dict(checkpoint["net"])
        opt.load_state_dict(checkpoint["opt"])
        torch.set_rng_state(checkpoint["torch_rng"])
        replay.add(Records.load(out / checkpoint["buffer"]))
        replay.rng.bit_generator.state = checkpoint["replay_rng"]
        state.update({k: checkpoint[k] for k in state})
        print(f"resumed from {out / 'checkpoint.pt'}: round {state['round']}, {state['games']:,} games, "
              f"{len(replay):,} positions in the window, {state['train_steps']:,} training steps, "
              f"{state['seconds'] / 60:.1f} minutes", flush=True)
    params = sum(p.numel() for p in net.parameters())
    print(f"network: {args.blocks} blocks x {args.channels} channels, {params:,} parameters; "
          f"self-play: {args.games} games at once, {args.algorithm} search of {args.simulations} simulations",
          flush=True)

    positions = load_positions(W, H, ("middle",))[:args.accuracy_positions]
    solver = Solver(W, H, threads=args.threads)
    session_start = time.perf_counter()
    base = state["seconds"]
    clock = lambda: base + time.perf_counter() - session_start  # noqa: E731
    losses: list[tuple[float, float]] = []

    def report(final: bool) -> None:
        start = time.perf_counter()
        inference_before = evaluator.seconds
        raw = accuracy(RawAgent(evaluator), positions, W, H, solver=solver).optimal
        agent = SearchAgent(evaluator, args.simulations, args.algorithm, args.leaves_per_step,
                            seed=state["round"], threads=args.threads)
        progress = bar(W * H, "vs tactical", args.quiet)
        tactical = play_match(agent, "tactical", args.eval_games, W, H, seed=state["round"],
                              progress=count_to(progress))
        if progress:
            progress.close()
        games = args.final_rollout_games if final else args.rollout_games
        strong = SearchAgent(evaluator, args.eval_simulations, args.algorithm, 8, state["round"], args.threads)
        rollout = SearchAgent("rollout", args.eval_simulations, "puct", 1, state["round"] + 1, args.threads)
        progress = bar(W * H, f"vs rollout ({args.eval_simulations} simulations)", args.quiet)
        vs_rollout = play_match(strong, rollout, games, W, H, seed=state["round"],
                                progress=count_to(progress))
        if progress:
            progress.close()
        evaluator.seconds = inference_before  # evaluation's inference counts as evaluation
        state["evaluation_s"] += time.perf_counter() - start
        state["seconds"] = clock()
        state["reported"], state["final"] = state["round"], final
        if losses:  # the mean since the last report
            state["policy_loss"], state["value_loss"] = (float(v) for v in np.mean(losses, axis=0))
            losses.clear()
        policy_loss, value_loss = state["policy_loss"], state["value_loss"]
        row = {"minutes": round(state["seconds"] / 60, 2), "games": state["games"], "positions": state["positions"],
               "train_steps": state["train_steps"], "loss": round(policy_loss + value_loss, 4),
               "policy_loss": round(policy_loss, 4), "value_loss": round(value_loss, 4), "accuracy": round(raw, 4),
               "vs_tactical": round(tactical.score, 4), "vs_rollout": round(vs_rollout.score, 4),
               "rollout_games": games, "rollout_simulations": args.eval_simulations,
               **{k: round(state[k], 1) for k in ("search_s", "inference_s", "training_s", "evaluation_s")}}
        append_row(out / "progress.csv", row)
        write_plot(out / "progress.svg", read_rows(out / "progress.csv"))
        spent = sum(state[k] for k in ("search_s", "inference_s", "training_s", "evaluation_s")) or 1.0
        print(f"[{row['minutes']:6.1f} min] {state['games']:,} games, {state['positions']:,} positions, "
              f"{state['train_steps']:,} steps, loss {row['loss']:.3f} (policy {policy_loss:.3f}, value "
              f"{value_loss:.3f})\n    raw net accuracy {raw:.1%} (middle game, {len(positions)} positions); "
              f"searching agent vs tactical {tactical.score:.1%} ({tactical.wins}-{tactical.draws}-{tactical.losses}),"
              f" vs rollout search of {args.eval_simulations} {vs_rollout.score:.1%} "
              f"({vs_rollout.wins}-{vs_rollout.draws}-{vs_rollout.losses} of {games})\n    time: "
              + ", ".join(f"{name} {state[k] / spent:.0%}" for name, k in
                          (("self-play search", "search_s"), ("network inference", "inference_s"),
                           ("training", "training_s"), ("evaluation", "evaluation_s"))), flush=True)
        save_checkpoint(out, {**state, "args": vars(args) | {"out": str(out)}, "net": net.state_dict(),
                              "opt": opt.state_dict(), "torch_rng": torch.get_rng_state()}, replay)

    def more() -> bool:
        return args.rounds is None or state["round"] < args.rounds

    while clock() < args.minutes * 60 and more():
        # Self-play: one round of games, the network valuing every tree's leaves at once.
        start = round_start = time.perf_counter()
        inference_before = evaluator.seconds
        progress = bar(args.games, f"round {state['round'] + 1} self-play", args.quiet)
        records = self_play_search(args.games, W, H, evaluate=evaluator, simulations=args.simulations,
                                   algorithm=args.algorithm, leaves_per_step=args.leaves_per_step,
                                   temperature_moves=args.temperature_moves,
                                   seed=args.seed * 1_000_003 + state["round"], threads=args.threads,
                                   progress=count_to(progress))
        if progress:
            progress.close()
        inference = evaluator.seconds - inference_before
        state["inference_s"] += inference
        state["search_s"] += time.perf_counter() - start - inference
        replay.add(records)
        state["round"] += 1
        state["games"] += args.games
        state["positions"] += len(records)

        # Training on the window, the learning rate decayed along the run's
        # time in steps of a twentieth (so that the same rounds train alike
        # whatever the machine's speed within a step).
        start = time.perf_counter()
        fraction = math.floor(20 * min(1.0, clock() / (args.minutes * 60))) / 20
        for group in opt.param_groups:
            group["lr"] = args.lr * (0.1 + 0.9 * 0.5 * (1 + math.cos(math.pi * fraction)))
        steps = max(1, round(len(records) * args.reuse / args.batch))
        progress = bar(steps, f"round {state['round']} training", args.quiet)
        for _ in range(steps):
            losses.append(train_step(net, opt, replay.sample(args.batch), args.value_mix, args.bfloat16))
            if progress:
                progress.update()
        if progress:
            progress.close()
        state["train_steps"] += steps
        state["training_s"] += time.perf_counter() - start

        # A report between rounds, unless the run ends after the next round
        # anyway (the final report follows it).
        round_seconds = time.perf_counter() - round_start
        if clock() >= state["next_report"] and clock() + round_seconds < args.minutes * 60 and more():
            while args.report_minutes > 0 and state["next_report"] <= clock():
                state["next_report"] += args.report_minutes * 60
            report(final=False)
    if state["round"] > state["reported"] or (state["round"] and not state["final"]):
        report(final=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

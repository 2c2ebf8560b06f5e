"""The benchmark's throughput plot is written. Its figures are measurements, not
checked here; matplotlib lives in the benchmark environment only."""
import sys
from pathlib import Path

import pytest

pytest.importorskip("matplotlib")
BENCH = Path(__file__).resolve().parents[2] / "bench"


def test_throughput_plot_is_written(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(BENCH))
    import plot_throughput

    # The peers' reference lines are measured too when they are installed; a
    # short budget keeps that quick.
    out = tmp_path / "throughput.svg"
    plot_throughput.main(["--out", str(out), "--sizes", "1,8", "--seconds", "0.002"])
    assert out.stat().st_size > 0
    sys.modules.pop("plot_throughput", None)

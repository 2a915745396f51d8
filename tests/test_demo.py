"""The demo, run small with its output going to a pipe as into a log file."""

import pathlib
import re
import subprocess
import sys

DEMO = pathlib.Path(__file__).parent.parent / "examples" / "demo.py"


def test_demo_output_reads_as_lines(tmp_path):
    args = ["--docs", "300", "--dim", "32", "--min-tokens", "8", "--max-tokens", "16", "--queries", "8",
            "--kmeans-iter", "5"]
    done = subprocess.run([sys.executable, str(DEMO), *args], capture_output=True, text=True, timeout=300,
                          cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert "\r" not in out
    # Generating the data reports its progress before the build starts.
    assert re.search(r"^\d\d:\d\d:\d\d demo: data: (\d+) of \1 token vectors generated$", out, re.M)
    assert out.index("token vectors generated") < out.index("fine k-means: iteration 1 of")
    assert "nuvaris_qor_router: build: fine k-means: iteration 1 of 5" in out
    assert "nuvaris_qor_router: save: wrote" in out
    for row in ("end to end: route+rerank  recall@10 ", "end to end: brute force   recall@10 1.000",
                "identical after reload    yes"):
        assert row in out
    assert list(tmp_path.iterdir()) == []

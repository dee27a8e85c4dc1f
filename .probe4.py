import sys, gc
from kelvo import baw_core as m
for name, f in {"count": lambda: m.baw_price(1, 2, 3), "conv": lambda: m.baw_price(1, 2, "3", 4, 5, "c"), "vec short": lambda: m.vectorized_baw_implied_vol([1.0]*3, [1.0]*3, [1.0], [1.0]*3, [1.0]*3, "ccc")}.items():
    def once():
        try: f()
        except Exception: pass
    for _ in range(100): once()
    gc.collect(); t = sys.gettotalrefcount()
    for _ in range(2000): once()
    gc.collect(); print(name, sys.gettotalrefcount() - t)

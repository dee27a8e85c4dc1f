"""The smile picture of ``kelvo --plot`` (matplotlib, from the optional extra kelvo[plot])."""
import numpy as np


def plot_smile(points, forward, path, expiry=None, format=None):
    """points: (strikes, call sigma, put sigma) arrays per chunk; annualised when expiry is known.
    path: a file name or a binary file object (then with format, e.g. "png")."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    strikes, calls, puts = (np.concatenate(parts) for parts in zip(*points))
    scale = 1 / np.sqrt(expiry) if expiry and expiry > 0 else 1.0
    fig, ax = plt.subplots(figsize=(8, 5))
    ax.plot(strikes, calls * scale, "o-", ms=3, label="calls")
    ax.plot(strikes, puts * scale, "s--", ms=3, label="puts")
    if np.isfinite(forward):
        ax.axvline(forward, color="grey", lw=1, ls=":", label=f"forward {forward:.4f}")
    ax.set_xlabel("strike")
    ax.set_ylabel("implied volatility" if scale != 1.0 else "implied total standard deviation")
    ax.set_title("BAW implied volatility smile")
    ax.legend()
    ax.grid(alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110, format=format)
    plt.close(fig)


def plot_surface(points, expiries, path, format=None, by_strike=False):
    """The smiles of every expiry in one panel (implied volatility against log-moneyness
    log(K/F), or strike; calls solid, puts dashed, the bid-ask range shaded, each forward marked)
    and the at-the-money term structure in a second.

    points: per chunk, (symbol, expiry, flag, strike, forward, iv_mid, iv_bid, iv_ask) arrays;
    expiries: {(symbol, expiry): object with T, forward, atm_vol and quote_date}."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import pandas as pd

    columns = ("symbol", "expiry", "flag", "strike", "forward", "mid", "bid", "ask")
    frame = pd.DataFrame({c: np.concatenate([p[i] for p in points]) for i, c in enumerate(columns)})
    frame = frame[np.isfinite(frame["forward"]) & (frame["strike"] > 0)]
    symbols = sorted({s for s, _ in expiries})
    fig, (smiles, term) = plt.subplots(1, 2, figsize=(13, 5.5),
                                       gridspec_kw={"width_ratios": [2.2, 1]})
    colours = plt.get_cmap("viridis")
    keys = sorted(expiries)
    for n, key in enumerate(keys):
        e = expiries[key]
        colour = colours(n / max(len(keys) - 1, 1))
        rows = frame[(frame["symbol"] == key[0]) & (frame["expiry"] == np.datetime64(key[1], "ns"))]
        label = f"{pd.Timestamp(key[1]).date()}" + (f" {key[0]}" if len(symbols) > 1 else "")
        for flag, style in (("c", "-"), ("p", "--")):
            side = rows[rows["flag"] == flag].sort_values("strike")
            x = side["strike"] if by_strike else np.log(side["strike"] / side["forward"])
            smiles.plot(x, side["mid"], style, color=colour, lw=1.2,
                        label=label if flag == "c" else None)
            smiles.fill_between(x, side["bid"], side["ask"], color=colour, alpha=0.12, lw=0)
        if np.isfinite(e.forward):
            smiles.axvline(e.forward if by_strike else 0.0, color=colour, lw=0.6, ls=":")
    smiles.set_xlabel("strike" if by_strike else "log-moneyness log(K / F)")
    smiles.set_ylabel("annualised implied volatility")
    smiles.set_title("smiles by expiry: calls solid, puts dashed, bid-ask shaded, "
                     "forward dotted", fontsize=10)
    smiles.legend(title="expiry", fontsize=8, ncol=2)
    smiles.grid(alpha=0.3)
    for symbol in symbols:
        ks = [k for k in keys if k[0] == symbol]
        term.plot([expiries[k].T for k in ks], [expiries[k].atm_vol for k in ks], "o-",
                  label=symbol or None)
    term.set_xlabel("time to expiry (years)")
    term.set_ylabel("annualised implied volatility at the money")
    term.set_title("at-the-money term structure", fontsize=10)
    if len(symbols) > 1:
        term.legend()
    term.grid(alpha=0.3)
    dates = sorted({str(pd.Timestamp(e.quote_date).date()) for e in expiries.values()
                    if pd.notna(e.quote_date)})
    date = f" on {', '.join(dates)}" if dates else ""
    fig.suptitle(f"BAW implied volatility surface of {', '.join(s for s in symbols if s) or 'the chain'}"
                 f"{date}")
    fig.tight_layout()
    fig.savefig(path, dpi=110, format=format)
    plt.close(fig)

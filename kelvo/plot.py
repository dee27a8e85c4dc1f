"""The smile picture of ``kelvo --plot`` (matplotlib, from the optional extra kelvo[plot])."""
import numpy as np


def plot_smile(points, forward, path, expiry=None, format=None):
    """points: arrays strike, call and put (total standard deviations), annualised when expiry
    is known. path: a file name or a binary file object (then with format, e.g. "png")."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    strikes, calls, puts = points["strike"], points["call"], points["put"]
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


def plot_surface(points, summary, path, format=None, by_strike=False):
    """The smiles of every expiry in one panel (implied volatility against log-moneyness
    log(K/F), or strike; calls solid, puts dashed, the bid-ask range shaded, each forward marked)
    and the at-the-money term structure in a second.

    points: arrays symbol, expiry, flag, strike, forward, mid, bid, ask (annualised vols) of
    the quotes; summary: arrays by kelvo.chain.SUMMARY_COLUMNS, one element a group."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import pandas as pd

    frame = pd.DataFrame(points)
    frame = frame[np.isfinite(frame["forward"]) & (frame["strike"] > 0)]
    groups = pd.DataFrame(summary)
    symbols = sorted(set(groups["symbol"]))
    fig, (smiles, term) = plt.subplots(1, 2, figsize=(13, 5.5),
                                       gridspec_kw={"width_ratios": [2.2, 1]})
    colours = plt.get_cmap("viridis")
    groups = groups.sort_values(["symbol", "expiry"], kind="stable", ignore_index=True)
    for n, e in enumerate(groups.itertuples()):
        colour = colours(n / max(len(groups) - 1, 1))
        rows = frame[(frame["symbol"] == e.symbol) & (frame["expiry"] == e.expiry)]
        label = f"{pd.Timestamp(e.expiry).date()}" + (f" {e.symbol}" if len(symbols) > 1 else "")
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
        mine = groups[groups["symbol"] == symbol]
        term.plot(mine["T"], mine["atm_vol"], "o-", label=symbol or None)
    term.set_xlabel("time to expiry (years)")
    term.set_ylabel("annualised implied volatility at the money")
    term.set_title("at-the-money term structure", fontsize=10)
    if len(symbols) > 1:
        term.legend()
    term.grid(alpha=0.3)
    dates = sorted({str(pd.Timestamp(d).date()) for d in groups["quote_date"] if pd.notna(d)})
    date = f" on {', '.join(dates)}" if dates else ""
    fig.suptitle(f"BAW implied volatility surface of {', '.join(s for s in symbols if s) or 'the chain'}"
                 f"{date}")
    fig.tight_layout()
    fig.savefig(path, dpi=110, format=format)
    plt.close(fig)

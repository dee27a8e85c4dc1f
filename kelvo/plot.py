"""The pictures of ``kelvo --plot`` (matplotlib, from the optional extra kelvo[plot])."""
import numpy as np

LEGEND_EXPIRIES = 12  # past this many expiries a panel colours them by time on a colour bar
PANELS = 4  # underlyings drawn, at most


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


def plot_surface(points, summary, path, format=None, by_strike=False, quote_date=None):
    """The smiles of every expiry of one quote date (implied volatility against log-moneyness
    log(K/F), or strike; calls solid, puts dashed, the bid-ask range shaded, each forward
    marked) beside the at-the-money term structure, one row of panels an underlying (the
    PANELS with the most quotes; the picture says which it left out).

    points: arrays symbol, quote_date, expiry, flag, strike, forward, mid, bid, ask (annualised
    vols) of the quotes; summary: arrays by kelvo.chain.SUMMARY_COLUMNS, one element a group.
    quote_date: the day drawn (default: the last in the summary)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import pandas as pd

    frame = pd.DataFrame(points)
    groups = pd.DataFrame(summary)
    days = groups["quote_date"].dt.normalize()
    all_days = sorted(days.dropna().unique())
    drawn = sorted(days[np.isfinite(groups["forward"])].dropna().unique()) or all_days
    day = (pd.Timestamp(quote_date).normalize() if quote_date is not None
           else (drawn[-1] if drawn else None))
    if day is not None:
        groups = groups[days == day]
        frame = frame[frame["quote_date"].dt.normalize() == day]
    frame = frame[np.isfinite(frame["forward"]) & (frame["strike"] > 0)]
    counts = groups.groupby("symbol")["quotes"].sum().sort_values(ascending=False, kind="stable")
    symbols = sorted(counts.index[:PANELS])
    left_out = sorted(counts.index[PANELS:])
    rows = max(len(symbols), 1)
    fig, axes = plt.subplots(rows, 2, figsize=(13, 4.2 + 3.2 * (rows - 1)), squeeze=False,
                             gridspec_kw={"width_ratios": [2.2, 1]})
    for (smiles, term), symbol in zip(axes, symbols):
        mine = groups[groups["symbol"] == symbol].sort_values("expiry", kind="stable")
        _smiles(smiles, frame[frame["symbol"] == symbol], mine, by_strike, plt, fig)
        term.plot(mine["T"], mine["atm_vol"], "o-", ms=3)
        term.xaxis.set_major_locator(plt.MaxNLocator(5))
        term.set_xlabel("time to expiry (years)")
        term.set_ylabel("at-the-money volatility")
        term.set_title(f"{symbol + ': ' if symbol else ''}at-the-money term structure",
                       fontsize=10)
        term.grid(alpha=0.3)
    names = ", ".join(s for s in symbols if s) or "the chain"
    styles = set(groups["style"]) if "style" in groups else {"american"}
    model = {frozenset({"american"}): "American (BAW)", frozenset({"european"}): "European"}.get(
        frozenset(styles), "American (BAW) and European")
    title = f"{model} implied volatility surface of {names}"
    if day is not None:
        title += f" on {pd.Timestamp(day).date()}" + (
            f" (the last of {len(drawn)} quote dates with a forward)"
            if len(drawn) > 1 and quote_date is None else "")
    if left_out:
        title += (f"\n{len(left_out)} more underlying{'s' if len(left_out) > 1 else ''} left out: "
                  f"{', '.join(left_out[:8])}{' ...' if len(left_out) > 8 else ''}")
    fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110, format=format)
    plt.close(fig)


def _smiles(ax, quotes, groups, by_strike, plt, fig):
    """One underlying's smiles: a legend of expiries, or past LEGEND_EXPIRIES a colour bar of
    the time to expiry."""
    import pandas as pd

    many = len(groups) > LEGEND_EXPIRIES
    colours = plt.get_cmap("viridis")
    T_max = max(float(groups["T"].max()) if len(groups) else 1.0, 1e-9)
    # out of the money only (puts below the forward, calls above it): their vols are what the
    # market quotes tightly, where deep in-the-money spreads make the others noisy
    quotes = quotes[np.where(quotes["flag"] == "c", quotes["strike"] >= quotes["forward"],
                             quotes["strike"] <= quotes["forward"])]
    for n, e in enumerate(groups.itertuples()):
        colour = colours(e.T / T_max if many else n / max(len(groups) - 1, 1))
        rows = quotes[quotes["expiry"] == e.expiry]
        label = None if many else f"{pd.Timestamp(e.expiry).date()}"
        for flag, style in (("c", "-"), ("p", "--")):
            side = rows[rows["flag"] == flag].sort_values("strike")
            x = side["strike"] if by_strike else np.log(side["strike"] / side["forward"])
            ax.plot(x, side["mid"], style, color=colour, lw=1.0 if many else 1.2,
                    label=label if flag == "c" else None)
            ax.fill_between(x, side["bid"], side["ask"], color=colour, alpha=0.12, lw=0)
        if np.isfinite(e.forward):
            ax.axvline(e.forward if by_strike else 0.0, color=colour, lw=0.6, ls=":")
    ax.set_xlabel("strike" if by_strike else "log-moneyness log(K / F)")
    ax.set_ylabel("annualised implied volatility")
    ax.set_title("smiles by expiry, out of the money: calls solid, puts dashed, bid-ask shaded, "
                 "forward dotted", fontsize=9)
    mids = quotes["mid"].to_numpy(dtype=float)
    mids = mids[np.isfinite(mids)]
    if len(mids):  # a few wild wings would squash every smile into a line
        ax.set_ylim(0, min(mids.max(), 1.25 * np.percentile(mids, 99)) * 1.05)
    if many:
        mappable = plt.cm.ScalarMappable(cmap=colours, norm=plt.Normalize(0, T_max))
        fig.colorbar(mappable, ax=ax, label="time to expiry (years)")
    elif len(groups):
        ax.legend(title="expiry", fontsize=8, ncol=2)
    ax.grid(alpha=0.3)

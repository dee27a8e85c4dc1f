"""Pictures of implied volatility surfaces (matplotlib, from the optional extra kelvo[plot]).

``surface(table, summary)`` draws what ``kelvo.chain.surface`` returns and gives back a
matplotlib Figure; it never touches matplotlib's backend or pyplot's state, so in a notebook
the Figure shows inline and the notebook's backend stays as it was. The command line's
``--plot`` draws the same picture and saves it.
"""
from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from kelvo.broadcast import float64_of

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


def american_name(model):
    """How a picture names the American model of kelvo.chain.model_label: BAW, or the accurate
    engine with its setting."""
    name, _, setting = model.partition(" (")
    return "BAW" if name == "baw" else f"ALO {setting.rstrip(')') or 'accurate'}"


LEGEND_EXPIRIES = 12  # past this many expiries a panel colours them by time on a colour bar
PANELS = 4  # underlyings drawn, at most


def surface(table: pd.DataFrame, summary: pd.DataFrame, ax: Axes | None = None, *,
            quote_date: Any = None, by_strike: bool = False) -> Figure:
    """The implied volatility surface of what ``kelvo.chain.surface`` returns.

    For one quote date (the last with a forward, or ``quote_date``): the out-of-the-money
    smiles of every expiry against log-moneyness log(K / F) (or strike), calls solid and puts
    dashed, the bid-ask range shaded and each forward dotted, beside the at-the-money term
    structure; one row of panels an underlying, for the four with the most quotes (the title
    names those left out). Past a dozen expiries a colour bar of the time to expiry replaces
    the legend. matplotlib's backend and pyplot's state are left as they are.

    Parameters
    ----------
    table, summary : pandas.DataFrame
        The two results of ``kelvo.chain.surface``.
    ax : matplotlib.axes.Axes, optional
        Draw the smiles of the first underlying into this Axes alone.
    quote_date : str or datetime-like, optional
        The quote date drawn (ValueError where the table has no quotes of that date).
    by_strike : bool
        Smiles against strike instead of log-moneyness.

    Returns
    -------
    matplotlib.figure.Figure
        The new Figure, or the one ``ax`` belongs to.

    Examples
    --------
    >>> import pandas as pd
    >>> from kelvo import chain, plot, sample
    >>> table, summary = chain.surface(pd.read_csv(sample.OPTIONS_PATH), rate=0.04)
    >>> figure = plot.surface(table, summary)
    >>> figure.axes[1].get_title()
    'KLVO: at-the-money term structure'
    """
    from kelvo import chain

    options = dict(summary.attrs.get("options", {}))
    frame = chain.as_pandas(table)
    names = chain.find_columns(list(frame.columns), options.get("columns"),
                               snapshot=options.get("snapshot"), spot=options.get("spot"))
    if not {"rate", "discount"} & set(names):
        options["rate"] = 0.0  # the discount factors play no part in the picture
    options.pop("columns", None)
    options.pop("snapshot", None)
    try:
        q = chain.Quotes.from_frame(frame, names, **options)
    except ValueError as error:
        if "options" in summary.attrs:
            raise
        # pd.concat keeps attrs only where every part has the same
        raise ValueError(f"{error}; the summary has lost the options of kelvo.chain.surface "
                         "(its attrs, which pd.concat drops where they differ): draw each "
                         "call's table and summary apart") from None
    points = {"symbol": q.symbol(), "quote_date": q.quote_date, "expiry": q.expiry,
              "flag": q.flag, "strike": q.strike,
              **{name: float64_of(frame[column]) for name, column in (
                  ("forward", "forward"), ("mid", "iv_mid"), ("bid", "iv_bid"),
                  ("ask", "iv_ask"))}}
    return surface_figure(points, summary, quote_date=quote_date, by_strike=by_strike, ax=ax,
                          model=summary.attrs.get("model", "baw"))


def surface_figure(points, summary, quote_date=None, by_strike=False, ax=None, model="baw"):
    """The picture of ``surface`` from the quotes' arrays (points: symbol, quote_date, expiry,
    flag, strike, forward, and the annualised mid, bid and ask vols) and the summary (arrays or a
    DataFrame by kelvo.chain.SUMMARY_COLUMNS), the vols of American options by model (as
    kelvo.chain.model_label names it)."""
    import pandas as pd
    try:
        from matplotlib.figure import Figure
    except ImportError as error:
        raise ImportError("kelvo.plot needs matplotlib: pip install 'kelvo[plot]'") from error

    frame = pd.DataFrame(points)
    groups = pd.DataFrame(summary)
    for name in ("T", "forward", "atm_vol"):  # a summary read back with nullable dtypes
        if name in groups:
            groups[name] = float64_of(groups[name])
    days = groups["quote_date"].dt.normalize()
    all_days = sorted(days.dropna().unique())
    with_forward = sorted(days[np.isfinite(groups["forward"])].dropna().unique())
    drawn = with_forward or all_days
    day = (pd.Timestamp(quote_date).normalize() if quote_date is not None
           else (drawn[-1] if drawn else None))
    if day is not None:
        groups = groups[days == day]
        if quote_date is not None and not len(groups):
            listed = ", ".join(str(pd.Timestamp(d).date()) for d in all_days[:8])
            raise ValueError(f"no quotes on {day.date()} (the quote dates: {listed or 'none'}"
                             f"{' ...' if len(all_days) > 8 else ''})")
        frame = frame[frame["quote_date"].dt.normalize() == day]
    frame = frame[np.isfinite(frame["forward"]) & (frame["strike"] > 0)]
    counts = groups.groupby("symbol")["quotes"].sum().sort_values(ascending=False, kind="stable")
    symbols = sorted(counts.index[:PANELS])
    left_out = sorted(counts.index[PANELS:])
    if ax is not None:
        symbol = symbols[0] if symbols else ""
        _smiles(ax, frame[frame["symbol"] == symbol],
                groups[groups["symbol"] == symbol].sort_values("expiry", kind="stable"),
                by_strike, ax.figure)
        return ax.figure
    rows = max(len(symbols), 1)
    fig = Figure(figsize=(13, 4.2 + 3.2 * (rows - 1)), layout="tight")
    axes = fig.subplots(rows, 2, squeeze=False, gridspec_kw={"width_ratios": [2.2, 1]})
    for (smiles, term), symbol in zip(axes, symbols):
        mine = groups[groups["symbol"] == symbol].sort_values("expiry", kind="stable")
        _smiles(smiles, frame[frame["symbol"] == symbol], mine, by_strike, fig)
        term.plot(mine["T"], mine["atm_vol"], "o-", ms=3)
        term.xaxis.set_major_locator(_locator(5))
        term.set_xlabel("time to expiry (years)")
        term.set_ylabel("at-the-money volatility")
        term.set_title(f"{symbol + ': ' if symbol else ''}at-the-money term structure",
                       fontsize=10)
        term.grid(alpha=0.3)
    names = ", ".join(s for s in symbols if s) or "the chain"
    styles = set(groups["style"]) if "style" in groups else {"american"}
    american = f"American ({american_name(model)})"
    kinds = {frozenset({"american"}): american, frozenset({"european"}): "European"}.get(
        frozenset(styles), f"{american} and European")
    title = f"{kinds} implied volatility surface of {names}"
    if day is not None:
        title += f" on {pd.Timestamp(day).date()}" + (
            f" (the last of {len(drawn)} quote dates{' with a forward' if with_forward else ''})"
            if len(drawn) > 1 and quote_date is None else "")
    if not np.isfinite(groups["forward"]).any():
        title += "\nno expiry has a forward: no smile to draw"
    if left_out:
        title += (f"\n{len(left_out)} more underlying{'s' if len(left_out) > 1 else ''} left out: "
                  f"{', '.join(left_out[:8])}{' ...' if len(left_out) > 8 else ''}")
    fig.suptitle(title)
    return fig


def _locator(n):
    from matplotlib.ticker import MaxNLocator

    return MaxNLocator(n)


def _smiles(ax, quotes, groups, by_strike, fig):
    """One underlying's smiles: a legend of expiries, or past LEGEND_EXPIRIES a colour bar of
    the time to expiry."""
    import matplotlib
    import pandas as pd
    from matplotlib.cm import ScalarMappable
    from matplotlib.colors import Normalize

    many = len(groups) > LEGEND_EXPIRIES
    colours = matplotlib.colormaps["viridis"]
    T_max = max(float(groups["T"].max()) if len(groups) else 1.0, 1e-9)
    # out of the money only (puts below the forward, calls above it): their vols are what the
    # market quotes tightly, where deep in-the-money spreads make the others noisy
    quotes = quotes[np.where(quotes["flag"] == "c", quotes["strike"] >= quotes["forward"],
                             quotes["strike"] <= quotes["forward"])]
    for n, e in enumerate(groups.itertuples()):
        colour = colours(e.T / T_max if many else n / max(len(groups) - 1, 1))
        rows = quotes[quotes["expiry"] == e.expiry]
        # an expiry without a forward has nothing to draw: its legend entry says why
        label = None if many else f"{pd.Timestamp(e.expiry).date()}" + (
            "" if np.isfinite(e.forward) else " (expired)" if e.T <= 0 else " (no forward)")
        for flag, style in (("c", "-"), ("p", "--")):
            side = rows[rows["flag"] == flag].sort_values("strike")
            x = side["strike"] if by_strike else np.log(side["strike"] / side["forward"])
            ax.plot(x, side["mid"], style, color=colour, lw=1.0 if many else 1.2,
                    label=label if flag == "c" else None,
                    marker="o" if len(side) == 1 else None, ms=3)  # a lone strike: a dot
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
        top = min(mids.max(), 1.25 * np.percentile(mids, 99)) * 1.05
        ax.set_ylim(0, top)
        if mids.max() > top:
            ax.text(0.99, 0.98, f"wings above {top:.0%} cut", transform=ax.transAxes,
                    ha="right", va="top", fontsize=8, color="0.4")
    if many:
        fig.colorbar(ScalarMappable(norm=Normalize(0, T_max), cmap=colours), ax=ax,
                     label="time to expiry (years)")
    elif len(groups):
        ax.legend(title="expiry", fontsize=8, ncol=2)
    ax.grid(alpha=0.3)


def smile_figure(points, forward, expiry=None, model="baw"):
    """The smile of one expiry (points: arrays strike, call and put, total standard deviations),
    annualised when expiry (years) is known, with its forward; model as for surface_figure."""
    from matplotlib.figure import Figure

    strikes, calls, puts = points["strike"], points["call"], points["put"]
    scale = 1 / np.sqrt(expiry) if expiry and expiry > 0 else 1.0
    fig = Figure(figsize=(8, 5), layout="tight")
    ax = fig.subplots()
    ax.plot(strikes, calls * scale, "o-", ms=3, label="calls")
    ax.plot(strikes, puts * scale, "s--", ms=3, label="puts")
    if np.isfinite(forward):
        ax.axvline(forward, color="grey", lw=1, ls=":", label=f"forward {forward:.4f}")
    ax.set_xlabel("strike")
    ax.set_ylabel("implied volatility" if scale != 1.0 else "implied total standard deviation")
    ax.set_title(f"{american_name(model)} implied volatility smile")
    ax.legend()
    ax.grid(alpha=0.3)
    return fig

"""BG/NBD, Pareto/NBD and Gamma-Gamma models against the reference model of clv_model.py."""

import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

import clv_model as ref
import segmora
from segmora import BetaGeoModel, GammaGammaModel, ParetoNBDModel

# 150 simulated customers and the corners: a new customer, many purchases, the
# last purchase at T, a repeat purchase on the first day.
_x, _t, _T = ref.simulate_bgnbd(150, (0.6, 3.0, 0.9, 2.5), seed=11)
X = np.append(_x, [0, 60, 3, 1])
R = np.append(_t, [0, 29.9, 5.0, 0.0])
T = np.append(_T, [0, 30.0, 5.0, 4.0])
M = np.append(ref.simulate_spend(_x, (5.0, 3.5, 12.0), seed=12), [0, 40.0, 7.5, 3.0])
CLASSES = {"BetaGeo": BetaGeoModel, "ParetoNBD": ParetoNBDModel, "GammaGamma": GammaGammaModel}
LOGLIK = {"BetaGeo": ref.bgnbd_loglik, "ParetoNBD": ref.pareto_loglik, "GammaGamma": ref.gamma_gamma_loglik}
POINTS = [
    ("BetaGeo", (0.6, 3.0, 0.9, 2.5)), ("BetaGeo", (2.0, 0.5, 3.0, 0.4)),
    ("ParetoNBD", (0.6, 3.0, 0.7, 5.0)), ("ParetoNBD", (0.6, 6.0, 1.7, 2.0)),
    ("ParetoNBD", (0.8, 4.0, 0.9, 4.0)),    # alpha = beta: the two forms meet
    ("ParetoNBD", (0.5, 60.0, 0.7, 0.1)),   # y close to 1: the series summed per customer
    ("GammaGamma", (5.0, 3.5, 12.0)), ("GammaGamma", (0.3, 1.5, 0.2)),
]


def columns(model):
    return (X, M) if model == "GammaGamma" else (X, R, T)


def fitted(model, params):
    """A model holding `params` as if fitted."""
    instance = CLASSES[model]()
    instance.params_ = dict(zip(instance._PARAMS, params))
    return instance


@pytest.mark.parametrize("model,params", POINTS)
def test_log_likelihood_gradient_and_hessian(model, params):
    value, gradient, hessian = segmora._clv_log_likelihood(model, params, columns(model))
    theta, eps, k = np.log(params), 1e-5, len(params)
    total = lambda th: LOGLIK[model](np.exp(th), *columns(model)).sum()  # noqa: E731
    engine_gradient = lambda th: np.array(segmora._clv_log_likelihood(model, tuple(np.exp(th)), columns(model))[1])  # noqa: E731
    assert value == pytest.approx(total(theta), rel=1e-12)
    numeric = [(total(theta + eps * e) - total(theta - eps * e)) / (2 * eps) for e in np.eye(k)]
    assert np.allclose(gradient, numeric, rtol=1e-6, atol=1e-6 * np.abs(numeric).max())
    jacobian = np.array([(engine_gradient(theta + eps * e) - engine_gradient(theta - eps * e)) / (2 * eps) for e in np.eye(k)])
    hessian = np.reshape(hessian, (k, k))
    assert np.array_equal(hessian, hessian.T)
    assert np.allclose(hessian, jacobian, rtol=1e-6, atol=1e-6 * np.abs(jacobian).max())


@pytest.mark.parametrize("model,params", [p for p in POINTS if p[0] != "GammaGamma"] + [("BetaGeo", (0.3, 2.0, 1.0, 3.0))])
def test_predictions_match_reference(model, params):
    m, spend = fitted(model, params), fitted("GammaGamma", (5.0, 3.5, 12.0))

    def expect(quantity, *args):
        if model == "BetaGeo" and params[2] == 1.0:  # a = 1: the closed forms are 0 / 0 there; meet it from both sides
            return np.mean([quantity(model, (*params[:2], 1 + h, params[3]), *args) for h in (-1e-5, 1e-5)], axis=0)
        return quantity(model, params, *args)

    close = dict(rtol=1e-8 if params[2] == 1.0 else 1e-9, atol=1e-12)
    assert np.allclose(m.probability_alive(X, R, T), expect(ref.probability_alive, X, R, T), **close)
    assert np.allclose(m.predict_purchases(10.0, X, R, T), expect(ref.predict_purchases, 10.0, X, R, T), **close)
    assert np.allclose(m.expected_purchases([0, 1, 10, 50]), expect(ref.expected_purchases, [0, 1, 10, 50]), **close)
    assert m.expected_purchases(10) == pytest.approx(float(expect(ref.expected_purchases, 10)), rel=1e-8)
    lifetime = lambda model_, params_, *args: ref.lifetime_value(model_, params_, (5.0, 3.5, 12.0), *args)  # noqa: E731
    assert np.allclose(spend.customer_lifetime_value(m, X, R, T, M, months=6, discount_rate=0.02, period_days=7.0),
                       expect(lifetime, X, R, T, M, 6, 0.02, 7.0), **close)
    assert np.allclose(spend.expected_average_value(X, M), ref.expected_average_value((5.0, 3.5, 12.0), X, M), **close)


@pytest.mark.parametrize("model,simulate,truth,seed", [
    ("BetaGeo", ref.simulate_bgnbd, (0.5, 4.0, 0.8, 2.5), 1), ("ParetoNBD", ref.simulate_pareto, (0.6, 8.0, 0.7, 12.0), 2),
    ("GammaGamma", ref.simulate_pareto, (6.0, 4.0, 15.0), 3),
])
def test_fit_recovers_simulated_parameters_alike_for_any_n_jobs(model, simulate, truth, seed):
    x, t, T = simulate(100_000, truth if model != "GammaGamma" else (0.6, 8.0, 0.7, 12.0), seed)
    data = (x, ref.simulate_spend(x, truth, seed)) if model == "GammaGamma" else (x, t, T)
    fits = [CLASSES[model](n_jobs=n_jobs).fit(*data) for n_jobs in (1, 3)]
    assert [(f.params_, f.log_likelihood_, f.n_iter_) for f in fits[1:]] == [(fits[0].params_, fits[0].log_likelihood_, fits[0].n_iter_)]
    est = fits[0]
    params = tuple(est.params_.values())
    assert est.converged_ and 0 < est.n_iter_ < 30
    value, gradient, hessian = segmora._clv_log_likelihood(model, params, data)
    assert value == pytest.approx(est.log_likelihood_, rel=1e-12) and np.abs(gradient).max() < 1e-6
    se = np.sqrt(np.diag(np.linalg.inv(-np.reshape(hessian, (len(params),) * 2))))
    assert np.all(np.abs(np.log(params) - np.log(truth)) < 4 * se), (params, se)


BG = BetaGeoModel().fit(X, R, T)
GG = GammaGammaModel().fit(X, M)


@pytest.mark.parametrize("form", [list, tuple, pd.Series, lambda v: np.repeat(np.asarray(v, dtype=float), 2)[::2]])
def test_input_forms_give_the_same_fit_and_float64_arrays(form):
    columns = form(X.astype(np.int64).tolist()), form(R.tolist()), form(T.tolist())
    est = BetaGeoModel().fit(*columns)
    alive = est.probability_alive(*columns)
    assert est.params_ == BG.params_ and est.log_likelihood_ == BG.log_likelihood_
    assert isinstance(alive, np.ndarray) and alive.dtype == np.float64 and alive.tolist() == BG.probability_alive(X, R, T).tolist()


def test_non_converged_fit_warns_and_says_so():
    with pytest.warns(UserWarning, match=r"^BetaGeoModel did not converge in 1 Newton steps \(max_iter=1\); params_ hold"):
        est = BetaGeoModel(max_iter=1).fit(X, R, T)
    assert (est.converged_, est.n_iter_) == (False, 1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert BetaGeoModel().fit(X, R, T).converged_


def test_repeat_customers_without_spend_are_left_out_of_the_spend_fit():
    with pytest.warns(UserWarning, match="^GammaGammaModel left 2 repeat customers whose monetary_value is 0 out of the fit$"):
        est = GammaGammaModel().fit(np.append(X, [3, 1]), np.append(M, [0.0, 0.0]))
    assert est.params_ == GG.params_ and est.log_likelihood_ == GG.log_likelihood_


@pytest.mark.parametrize("call,error,message", [
    (lambda: BetaGeoModel().fit([1, 2.5], [1, 1], [2, 2]), ValueError, "frequency must be a whole number; frequency[1] is 2.5"),
    (lambda: BetaGeoModel().fit([1, -1], [1, 1], [2, 2]), ValueError, "frequency must be >= 0; frequency[1] is -1"),
    (lambda: ParetoNBDModel().fit([1, 1], [1, np.nan], [2, 2]), ValueError, "recency must be finite; recency[1] is NaN"),
    (lambda: ParetoNBDModel().fit([1, 1], [1, -0.5], [2, 2]), ValueError, "recency must be >= 0; recency[1] is -0.5"),
    (lambda: BetaGeoModel().fit([1, 1], [1, 1], [2, np.inf]), ValueError, "T must be finite; T[1] is inf"),
    (lambda: BetaGeoModel().fit([1, 1, 1], [1, 1, 3], [2, 2, 2]), ValueError, "recency must not exceed T; recency[2] is 3 and T[2] is 2"),
    (lambda: BetaGeoModel().fit([1, 0], [1, 1], [2, 2]), ValueError, "recency must be 0 where frequency is 0; recency[1] is 1"),
    (lambda: BetaGeoModel().fit([1, 1], [1], [2, 2]), ValueError, "frequency, recency and T must have the same length, got 2, 1 and 2"),
    (lambda: BetaGeoModel().fit([], [], []), RuntimeError, "Invalid configuration: cannot fit BG/NBD without customers"),
    (lambda: GammaGammaModel().fit([0, 2], [0, 0]), RuntimeError,
     "Invalid configuration: cannot fit Gamma-Gamma without repeat customers of positive spend (frequency > 0, monetary_value > 0)"),
    (lambda: GammaGammaModel().fit([0, 2], [-1, 3]), ValueError, "monetary_value must be >= 0; monetary_value[0] is -1"),
    (lambda: GammaGammaModel().fit([0, 0], [1, 3]), RuntimeError,
     "Invalid configuration: cannot fit Gamma-Gamma without repeat customers of positive spend (frequency > 0, monetary_value > 0)"),
    (lambda: BetaGeoModel().probability_alive(X, R, T), ValueError,
     "This BetaGeoModel instance is not fitted yet. Call 'fit' with appropriate arguments first."),
    (lambda: BG.predict_purchases(-1, X, R, T), ValueError, "t must be finite and >= 0, got -1"),
    (lambda: BG.expected_purchases([1, float("nan")]), ValueError, "t must be finite and >= 0; t[1] is NaN"),
    (lambda: GG.customer_lifetime_value(GG, X, R, T, M), TypeError, "purchase_model must be a BetaGeoModel or ParetoNBDModel, not GammaGammaModel"),
    (lambda: GG.customer_lifetime_value(BG, X, R, T, M, months=-1), ValueError, "months must be >= 0, got -1"),
    (lambda: GG.customer_lifetime_value(BG, X, R, T, M, discount_rate=-1), ValueError, "discount_rate must be finite and > -1, got -1"),
    (lambda: GG.customer_lifetime_value(BG, X, R, T, M, period_days=0), ValueError, "period_days must be finite and > 0, got 0"),
    (lambda: GG.customer_lifetime_value(BG, X, R, T, M[:-1]), ValueError,
     f"frequency and monetary_value must have the same length, got {len(X)} and {len(X) - 1}"),
    (lambda: BetaGeoModel(max_iter=-1).fit(X, R, T), ValueError, "max_iter must be >= 0, got -1"),
])
def test_errors(call, error, message):
    params = dict(BG.params_)
    with pytest.raises(error) as caught:
        call()
    assert str(caught.value) == message
    assert BG.params_ == params  # a failed call leaves the fitted state


def test_repr_and_pickling():
    assert [repr(BetaGeoModel()), repr(ParetoNBDModel(max_iter=5, n_jobs=2))] == ["BetaGeoModel()", "ParetoNBDModel(max_iter=5, n_jobs=2)"]
    assert repr(fitted("GammaGamma", (6.24880248, 3.744588, 15.447748))) == "GammaGammaModel(p=6.249, q=3.745, v=15.45)"
    for est in (BG, GG, ParetoNBDModel(tol=1e-6)):
        same = pickle.loads(pickle.dumps(est))
        assert vars(same) == vars(est) and repr(same) == repr(est)
    state = BG.__getstate__()
    for damage, reason in [({"_segmora_state_version": 0}, "not a state of this version (1)"),
                           ({"params_": {**BG.params_, "b": -1.0}}, "inconsistent fitted state"),
                           ({"params_": {"r": 1.0}}, "inconsistent fitted state")]:
        with pytest.raises(ValueError) as caught:
            BetaGeoModel().__setstate__({**state, **damage})
        assert str(caught.value) == f"cannot restore BetaGeoModel: {reason}"


# ---- transactions to summaries ----

def _log(seed=5, n=400):
    """A transaction log with same-day purchases, missing timestamps and NaN amounts."""
    rng = np.random.default_rng(seed)
    ts = pd.Timestamp("2024-01-01", tz="UTC") + pd.to_timedelta(rng.integers(0, 120 * 86_400, n), unit="s")
    tx = pd.DataFrame({"customer_id": [f"c{i}" for i in rng.integers(0, 60, n)], "ts": ts,
                       "amount": rng.gamma(2.0, 10.0, n).round(2)})
    tx.loc[::37, "ts"] = pd.NaT
    tx.loc[5, "amount"] = np.nan
    return pd.concat([tx, tx.iloc[:30].assign(amount=1.5)], ignore_index=True)  # same days again


def pandas_summary(tx, as_of, period_days):
    """The field's recipe: totals per customer and UTC day, then first, last and repeat days."""
    kept = tx.dropna(subset=["ts"])
    kept = kept[kept["ts"] <= as_of]
    daily = (kept.assign(day=kept["ts"].dt.floor("D")).groupby(["customer_id", "day"], sort=False)["amount"]
             .agg(lambda v: v.sum(skipna=False)).reset_index())
    g = daily.groupby("customer_id", sort=False)
    first, last = g["day"].transform("min"), g["day"].max()
    repeat = daily[daily["day"] > first].groupby("customer_id")["amount"].agg(lambda v: v.sum(skipna=False))
    out = pd.DataFrame({"frequency": g["day"].count() - 1.0, "recency": (last - g["day"].min()).dt.days / period_days,
                        "T": (as_of.floor("D") - g["day"].min()).dt.days / period_days})
    out["monetary_value"] = np.where(out["frequency"] > 0, repeat.reindex(out.index) / out["frequency"], 0.0)
    order = [c for c in pd.unique(tx["customer_id"]) if c in out.index]  # first appearance, skipped rows included
    return out.loc[order].reset_index()


@pytest.mark.parametrize("as_of,period_days,ids,stamps", [
    (None, 1.0, pd.Series, pd.Series),
    ("2024-03-15T12:00:00Z", 7.0, list, lambda s: [None if pd.isna(t) else t.isoformat() for t in s]),
    (pd.Timestamp("2024-02-01", tz="UTC"), 0.5, np.asarray, lambda s: s.dt.tz_localize(None).to_numpy()),
])
def test_summary_matches_the_pandas_recipe(as_of, period_days, ids, stamps):
    tx = _log()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        runs = [segmora.clv_summary_from_columns(ids(tx["customer_id"]), stamps(tx["ts"]), tx["amount"], as_of=as_of,
                                                 period_days=period_days, n_jobs=n_jobs) for n_jobs in (1, 3)]
    got = pd.DataFrame(runs[0])
    assert all(pd.DataFrame(r).equals(got) for r in runs[1:])
    cut = tx["ts"].max() if as_of is None else pd.Timestamp(as_of)
    expected = pandas_summary(tx, cut, period_days)
    assert list(got.columns) == ["customer_id", "frequency", "recency", "T", "monetary_value"]
    assert list(got["customer_id"]) == list(expected["customer_id"])
    pd.testing.assert_frame_equal(got.drop(columns="customer_id"), expected.drop(columns="customer_id"), rtol=1e-12)
    messages = {str(w.message).split(" (")[0] for w in caught[:len(caught) // 2]}  # the first run's warnings
    after = f"skipped {(tx['ts'] > cut).sum()} of {len(tx)} transactions dated after as_of"
    nan = f"1 of {len(tx)} transactions have a NaN amount"  # when its row counts
    assert messages == {f"skipped {tx['ts'].isna().sum()} of {len(tx)} transactions with a missing timestamp"} | (
        {after} if as_of is not None else set()) | ({nan} if tx["ts"][5] <= cut else set())


def test_summary_without_amounts_and_errors():
    got = segmora.clv_summary_from_columns([3, 3, 4], ["2024-01-01T09:00:00Z", "2024-01-03T23:59:59+02:00", "2024-01-02T00:00:00Z"])
    assert got["customer_id"] == [3, 4] and list(got) == ["customer_id", "frequency", "recency", "T"]
    assert [list(got[c]) for c in ("frequency", "recency", "T")] == [[1.0, 0.0], [2.0, 0.0], [2.0, 1.0]]
    for kwargs, message in [({"period_days": 0.0}, "period_days must be finite and > 0, got 0"),
                            ({"amounts": [1.0]}, "customer_ids, timestamps and amounts must have the same length, got 3, 3 and 1")]:
        with pytest.raises(ValueError) as caught:
            segmora.clv_summary_from_columns(["a", "b", "c"], [0, 1, 2], **kwargs)
        assert str(caught.value) == message

"""Reference BG/NBD, Pareto/NBD and Gamma-Gamma models in NumPy/SciPy, and simulators.

Straight from the papers' formulas: SciPy's gammaln, betaln and hyp2f1, and
the Pareto/NBD integral by quadrature (no hypergeometric series at all), per
customer. Parameters in model order: BG/NBD (r, alpha, a, b), Pareto/NBD
(r, alpha, s, beta), Gamma-Gamma (p, q, v).
"""

import numpy as np
from scipy import integrate, special


def bgnbd_loglik(params, x, t, T):
    r, alpha, a, b = params
    dropped = np.where(x > 0, a / np.maximum(b + x - 1, 1e-300) * ((alpha + T) / (alpha + t)) ** (r + x), 0.0)
    return (special.gammaln(r + x) - special.gammaln(r) + r * np.log(alpha) + special.betaln(a, b + x)
            - special.betaln(a, b) - (r + x) * np.log(alpha + T) + np.log1p(dropped))


def _pareto_parts(params, x, t, T):
    """A = (alpha+T)^-(r+x) (beta+T)^-s and s times the dropout integral from t to T, per customer."""
    r, alpha, s, beta = params
    alive = (alpha + T) ** -(r + x) * (beta + T) ** -s
    dead = np.array([s * integrate.quad(lambda u: (alpha + u) ** -(r + xi) * (beta + u) ** -(s + 1), ti, Ti,
                                        epsabs=0, epsrel=1e-13, limit=200)[0] for xi, ti, Ti in zip(x, t, T)])
    return alive, dead


def pareto_loglik(params, x, t, T):
    r, alpha, s, beta = params
    alive, dead = _pareto_parts(params, x, t, T)
    return special.gammaln(r + x) - special.gammaln(r) + r * np.log(alpha) + s * np.log(beta) + np.log(alive + dead)


def gamma_gamma_loglik(params, x, m):
    p, q, v = params
    x, m = x[x > 0], m[x > 0]
    return (special.gammaln(p * x + q) - special.gammaln(p * x) - special.gammaln(q) + q * np.log(v)
            + (p * x - 1) * np.log(m) + p * x * np.log(x) - (p * x + q) * np.log(v + x * m))


def probability_alive(model, params, x, t, T):
    if model == "BetaGeo":
        r, alpha, a, b = params
        return 1 / (1 + np.where(x > 0, a / np.maximum(b + x - 1, 1e-300) * ((alpha + T) / (alpha + t)) ** (r + x), 0))
    alive, dead = _pareto_parts(params, x, t, T)
    return alive / (alive + dead)


def predict_purchases(model, params, horizon, x, t, T):
    """Expected purchases in (T, T + horizon] (Fader, Hardie and Lee 2005, eq. 10; Schmittlein et al. 1987)."""
    alive = probability_alive(model, params, x, t, T)
    if model == "BetaGeo":
        r, alpha, a, b = params
        z = horizon / (alpha + T + horizon)
        inner = 1 - ((alpha + T) / (alpha + T + horizon)) ** (r + x) * special.hyp2f1(r + x, b + x, a + b + x - 1, z)
        return alive * (a + b + x - 1) / (a - 1) * inner
    r, alpha, s, beta = params
    return alive * (r + x) * (beta + T) / ((alpha + T) * (s - 1)) * (1 - ((beta + T) / (beta + T + horizon)) ** (s - 1))


def expected_purchases(model, params, t):
    t = np.asarray(t, dtype=float)
    if model == "BetaGeo":
        r, alpha, a, b = params
        return (a + b - 1) / (a - 1) * (1 - (alpha / (alpha + t)) ** r * special.hyp2f1(r, b, a + b - 1, t / (alpha + t)))
    r, alpha, s, beta = params
    return r * beta / (alpha * (s - 1)) * (1 - (beta / (beta + t)) ** (s - 1))


def expected_average_value(params, x, m):
    p, q, v = params
    return p * (v + x * m) / (p * x + q - 1)


def lifetime_value(model, params, spend, x, t, T, m, months, discount_rate, period_days):
    month = 30 / period_days
    value = expected_average_value(spend, x, m)
    steps = [np.zeros_like(x)] + [predict_purchases(model, params, month * k, x, t, T) for k in range(1, months + 1)]
    return sum(value * (steps[k] - steps[k - 1]) / (1 + discount_rate) ** k for k in range(1, months + 1))


# ---- simulators (continuous times) ----

def simulate_bgnbd(n, params, seed, horizon=(20.0, 60.0)):
    """While alive, Poisson purchases at lambda ~ Gamma(r, alpha); after each, dropout with p ~ Beta(a, b)."""
    r, alpha, a, b = params
    rng = np.random.default_rng(seed)
    T = rng.uniform(*horizon, n)
    arrivals = rng.poisson(rng.gamma(r, 1 / alpha, n) * T)        # purchases had nobody dropped out
    last = rng.geometric(rng.beta(a, b, n))                       # the purchase after which one drops out
    x = np.minimum(arrivals, last)
    t = np.where(x > 0, T * rng.beta(np.maximum(x, 1), arrivals - x + 1), 0.0)  # the x-th of the arrival times
    return x.astype(float), t, T


def simulate_pareto(n, params, seed, horizon=(20.0, 60.0)):
    """Poisson purchases at lambda ~ Gamma(r, alpha) until an exponential dropout at mu ~ Gamma(s, beta)."""
    r, alpha, s, beta = params
    rng = np.random.default_rng(seed)
    T = rng.uniform(*horizon, n)
    active = np.minimum(rng.exponential(1 / rng.gamma(s, 1 / beta, n)), T)
    x = rng.poisson(rng.gamma(r, 1 / alpha, n) * active)
    t = np.where(x > 0, active * rng.random(n) ** (1 / np.maximum(x, 1)), 0.0)  # the latest of x uniform times
    return x.astype(float), t, T


def simulate_spend(x, params, seed):
    """Mean of x purchases of value Gamma(p, nu), nu ~ Gamma(q, v) per customer; 0 without purchases."""
    p, q, v = params
    rng = np.random.default_rng(seed)
    nu = rng.gamma(q, 1 / v, len(x))
    return np.where(x > 0, rng.gamma(np.maximum(p * x, 1e-12), 1 / (np.maximum(x, 1) * nu)), 0.0)

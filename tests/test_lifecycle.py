"""Lifecycle stages, retention actions, churn-risk levels and simple lifetime value."""
import math

import pytest

from segmora import (PyChurnRiskLevel, calculate_simple_ltv, classify_lifecycle_stage, lifecycle_retention_actions,
                     lifecycle_stage_distribution)

ACTIONS = {
    "prospect": ["Send welcome email with product overview", "Offer first-time purchase discount", "Create onboarding sequence"],
    "onboarding": ["Guide feature discovery", "Celebrate first purchase", "Send value-building tips"],
    "active": ["Recommend complementary products", "Send personalized offers", "Request feedback and reviews"],
    "mature": ["VIP rewards program", "Exclusive early access", "Loyalty recognition"],
    "at_risk": ["Targeted win-back campaign", "Special re-engagement offer", "Personalized product recommendations"],
    "dormant": ["Reactivation campaign", "Incentivized return offer", "Survey for feedback"],
    "churned": ["Final win-back attempt", "Exit survey", "Sunset workflow"],
}
UNKNOWN = "Unknown lifecycle stage '{}'. Expected one of: prospect, onboarding, active, mature, at_risk, dormant, churned"


def classify(signup, n, total, last, freq):
    return classify_lifecycle_stage("c1", signup, n, total, last, freq)


# (signup, purchases, total, last, frequency) -> stage, confidence, expansion, avg order value, retention
@pytest.mark.parametrize("args,stage,confidence,expansion,avg,retention", [
    ((10, 0, 0.0, 0, 0.0), "prospect", 0.9, 0.0, 0.0, 0.5),
    ((45, 0, 0.0, 400, 2.0), "dormant", 0.75, 0.0, 0.0, 0.1),
    ((29, 0, 0.0, 0, 0.0), "prospect", 0.9, 0.0, 0.0, 0.5),
    ((30, 0, 0.0, 0, 0.0), "dormant", 0.75, 0.0, 0.0, 0.5),
    ((29, 4, 100.0, 500, 0.0), "onboarding", 0.95, 0.85, 25.0, 0.0),
    ((30, 1, 10.0, 10, 10.0), "active", 0.85, 0.7, 10.0, 1 - 10 / 365 / 2),
    ((100, 1, 10.0, 90, 0.0), "active", 0.85, 0.7, 10.0, (1 - 90 / 365) * 0.5),
    ((800, 1, 10.0, 90, 0.0), "mature", 0.9, 0.6, 10.0, (1 - 90 / 365) * 0.5),
    ((800, 1, 10.0, 91, 0.0), "at_risk", 0.8, 0.4, 10.0, (1 - 91 / 365) * 0.5),
    ((800, 1, 10.0, 180, 0.0), "at_risk", 0.8, 0.4, 10.0, (1 - 180 / 365) * 0.5),
    ((800, 1, 10.0, 181, 0.0), "dormant", 0.75, 0.0, 10.0, (1 - 181 / 365) * 0.5),
    ((730, 1, 10.0, 0, 20.0), "active", 0.85, 0.7, 10.0, 1.0),
    ((731, 1, 10.0, 0, 20.0), "mature", 0.9, 0.6, 10.0, 1.0),
    ((731, 1, 10.0, 730, 5.0), "dormant", 0.75, 0.0, 10.0, 0.25),
    ((731, 1, 10.0, -365, -10.0), "mature", 0.9, 0.6, 10.0, 0.5),  # unclamped both ways
])
def test_classification_rules_and_derived_values(args, stage, confidence, expansion, avg, retention):
    p = classify(*args)
    assert (p.customer_id, p.current_stage, p.stage_confidence, p.expansion_potential) == ("c1", stage, confidence, expansion)
    assert (p.total_purchase_count, p.total_value, p.avg_order_value) == (args[1], args[2], avg)
    assert p.retention_score == pytest.approx(retention, abs=1e-15)


def test_nan_flows_into_the_profile_and_reprs_show_two_decimals():
    assert math.isnan(classify(800, 2, math.nan, 10, 1.0).avg_order_value)
    assert classify(800, 2, 10.0, 10, math.nan).retention_score == pytest.approx((1 - 10 / 365) * 0.5 + 0.5)
    assert repr(classify(10, 0, 0.0, 0, 0.0)) == "LifecycleProfile(customer_id=c1, stage=prospect, retention_score=0.50)"
    assert repr(calculate_simple_ltv("a", 1200, 12, 365, 730)) == "CustomerLTV(customer_id=a, ltv=2400.00, 3yr=3060.00, 5yr=4200.00)"


@pytest.mark.parametrize("fn,args,error", [
    (classify, (10, -1, 0.0, 0, 0.0), OverflowError),
    (classify, (2**31, 0, 0.0, 0, 0.0), OverflowError),
    (classify, (10, 0, 0.0, -(2**31) - 1, 0.0), OverflowError),
    (classify, (10.0, 0, 0.0, 0, 0.0), TypeError),
    (classify, (10, 0, "0", 0, 0.0), TypeError),
    (calculate_simple_ltv, ("a", 1.0, -1, 1, 1), OverflowError),
])
def test_argument_errors(fn, args, error):
    with pytest.raises(error):
        fn(*args)


@pytest.mark.parametrize(
    "name,stage",
    [(s, s) for s in ACTIONS] + [("AT_RISK", "at_risk"), ("atrisk", "at_risk"), ("AtRisk", "at_risk"), ("Churned", "churned")],
)
def test_retention_actions(name, stage):
    assert lifecycle_retention_actions(name) == ACTIONS[stage]


@pytest.mark.parametrize("name,shown", [("lost", "lost"), ("LOST", "lost"), (" active", " active"), ("ÀCTIVE", "àctive"), ("at-risk", "at-risk")])
def test_unknown_stage(name, shown):
    with pytest.raises(ValueError) as err:
        lifecycle_retention_actions(name)
    assert str(err.value) == UNKNOWN.format(shown)


def test_stage_distribution_in_first_appearance_order():
    active, dormant = classify(100, 1, 1.0, 1, 1.0), classify(45, 0, 0.0, 0, 0.0)
    assert lifecycle_stage_distribution([]) == {}
    dist = lifecycle_stage_distribution((dormant, active, active))
    assert list(dist.items()) == [("dormant", 1 / 3 * 100), ("active", 2 / 3 * 100)]
    for bad in ("active", [active, "active"]):
        with pytest.raises(TypeError):
            lifecycle_stage_distribution(bad)


# (spent, purchases, days active, lifespan) -> annual, ltv, 3yr, 5yr, churn probability, confidence
@pytest.mark.parametrize("args,expected", [
    ((1200, 12, 365, 730), (1200.0, 2400.0, 3060.0, 4200.0, 0.08, 0.75)),
    ((50, 1, 730, 365), (25.0, 25.0, 25 * 3 * 0.85, 25 * 5 * 0.7, 0.4, 0.75)),
    ((600, 2, 365, 365), (600.0, 600.0, 600 * 3 * 0.85, 600 * 5 * 0.7, 0.22999999999999998, 0.75)),
    ((300, 3, 365, 0), (300.0, 0.0, 300 * 3 * 0.85, 300 * 5 * 0.7, 0.05 + 0.08, 0.75)),  # f 3, a 100
    ((3000, 6, 365, 0), (3000.0, 0.0, 3000 * 3 * 0.85, 3000 * 5 * 0.7, 0.0, 0.75)),  # f 6, a 500
    ((80, 0, 365, 730), (0.0, 80.0, 80.0, 80.0, 0.5, 0.3)),
    ((80, 5, 0, 730), (0.0, 80.0, 80.0, 80.0, 0.5, 0.3)),
    ((100, 1, -365, 365), (-100.0, -100.0, -255.0, -350.0, 0.25 + 0.08, 0.75)),
])
def test_simple_ltv(args, expected):
    v = calculate_simple_ltv("c", *args)
    got = (v.annual_value, v.predicted_ltv, v.predicted_ltv_3yr, v.predicted_ltv_5yr, v.churn_probability, v.confidence_score)
    assert got == pytest.approx(expected, rel=1e-15)
    assert (v.customer_id, v.historical_value, v.churn_probability) == ("c", args[0], expected[4])  # the probability exactly


@pytest.mark.parametrize("name,threshold", [("very_low", 0.1), ("low", 0.25), ("medium", 0.5), ("high", 0.75), ("critical", 0.9)])
def test_risk_levels(name, threshold):
    level = getattr(PyChurnRiskLevel, name)()
    assert (type(level), level.as_str(), level.threshold()) == (PyChurnRiskLevel, name, threshold)


@pytest.mark.parametrize("fn,doc", [
    (classify_lifecycle_stage, "Classify a customer into a lifecycle stage (prospect / onboarding /\n"
     "active / mature / at_risk / dormant / churned) from behavioral signals."),
    (lifecycle_retention_actions, "Recommended retention actions for a given lifecycle stage name."),
    (lifecycle_stage_distribution, "Percentage breakdown of customers across lifecycle stages."),
    (calculate_simple_ltv, None),
])
def test_docstrings(fn, doc):
    assert fn.__doc__ == doc

# Estimator classes in scikit-learn's shape over the module's engines.
#
# Compiled and run once when the module loads, with `_engine` bound to the
# module itself; the classes it defines are added to the module. They are
# plain Python classes so that scikit-learn reads their parameters from
# inspect.signature(__init__) and clone() gets back the very objects given to
# the constructor. NumPy is imported when an estimator is first used, never
# at module import; scikit-learn is only imported by scikit-learn itself (for
# the tags it asks for).

_STATE_VERSION = 1


def _numpy():
    import numpy

    return numpy


def _seed(random_state):
    """The engine's 64-bit seed: None keeps the engine's default (42)."""
    np = _numpy()
    if random_state is None:
        return None
    if isinstance(random_state, (int, np.integer)) and not isinstance(random_state, bool):
        if random_state < 0:
            raise ValueError(f"random_state must be a non-negative int, got {random_state}")
        return int(random_state)
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(0, 2**31 - 1))
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 2**63 - 1))
    raise ValueError(f"random_state must be None, an int, a RandomState or a Generator, got {random_state!r}")


def _check_array(X, estimator, reset, check_finite=True):
    """X as a C-contiguous float64 2-D array, with scikit-learn's habits for bad input."""
    np = _numpy()
    name = type(estimator).__name__
    if hasattr(X, "tocsr") or (hasattr(X, "toarray") and hasattr(X, "nnz")):
        raise TypeError(f"{name} does not accept sparse input; convert it with X.toarray()")
    array = np.asarray(X)
    if np.iscomplexobj(array):
        raise ValueError("Complex data not supported")
    if array.dtype.kind not in "biuf":
        array = array.astype(np.float64)  # object arrays of numbers; a non-number raises here
    if array.ndim != 2:
        raise ValueError(
            f"Expected 2D array, got {'scalar' if array.ndim == 0 else f'{array.ndim}D'} array instead: array={array!r}. "
            "Reshape your data either using array.reshape(-1, 1) if your data has a single feature or "
            "array.reshape(1, -1) if it contains a single sample."
        )
    array = np.ascontiguousarray(array, dtype=np.float64)
    n_samples, n_features = array.shape
    if n_samples == 0:
        raise ValueError(f"Found array with 0 sample(s) (shape={array.shape}) while a minimum of 1 is required by {name}.")
    if n_features == 0:
        raise ValueError(f"Found array with 0 feature(s) (shape={array.shape}) while a minimum of 1 is required by {name}.")
    if check_finite and not np.isfinite(array).all():
        what = "NaN" if np.isnan(array).any() else "infinity"
        raise ValueError(f"Input X contains {what}.")
    columns = getattr(X, "columns", None)
    names = list(columns) if columns is not None and all(isinstance(c, str) for c in columns) else None
    if reset:
        estimator.n_features_in_ = n_features
        if names is not None:
            estimator.feature_names_in_ = np.asarray(names, dtype=object)
        elif hasattr(estimator, "feature_names_in_"):
            del estimator.feature_names_in_
        return array
    _check_names(names, getattr(estimator, "feature_names_in_", None), name)
    if n_features != estimator.n_features_in_:
        raise ValueError(
            f"X has {n_features} features, but {name} is expecting {estimator.n_features_in_} features as input."
        )
    return array


def _check_names(names, fitted, name):
    """Columns at predict time against those seen by fit: a warning when only one
    side has names, ValueError when they differ."""
    import warnings

    if names is None and fitted is None:
        return
    if names is None:
        warnings.warn(f"X does not have valid feature names, but {name} was fitted with feature names", UserWarning,
                      stacklevel=4)
        return
    if fitted is None:
        warnings.warn(f"X has feature names, but {name} was fitted without feature names", UserWarning, stacklevel=4)
        return
    fitted = list(fitted)
    if names == fitted:
        return
    message = "The feature names should match those that were passed during fit.\n"
    unseen = [c for c in names if c not in set(fitted)]
    missing = [c for c in fitted if c not in set(names)]
    if unseen:
        message += "Feature names unseen at fit time:\n" + "".join(f"- {c}\n" for c in unseen)
    if missing:
        message += "Feature names seen at fit time, yet now missing:\n" + "".join(f"- {c}\n" for c in missing)
    if not unseen and not missing:
        message += "Feature names must be in the same order as they were in fit.\n"
    raise ValueError(message)


class _NotFittedError(ValueError, AttributeError):
    """Raised when a method needs a fitted estimator (like scikit-learn's NotFittedError)."""



class _CentroidEstimator:
    """Shared surface of the centroid clusterers: parameters, prediction, transform and state.

    A subclass sets `_PARAMS` (constructor parameter names in order) and
    implements `_fit(X)` returning (labels, centers, inertia, n_iter) from an
    engine (NumPy arrays or lists); `_check_state(state)` may refuse more of a
    pickled state. `_ADDED_PARAMS` maps parameters that states pickled before
    them lack to the values that reproduce those fits.
    """

    _PARAMS = ()
    _ADDED_PARAMS = {}
    _FITTED = ("labels_", "cluster_centers_", "inertia_", "n_iter_", "n_features_in_")

    # ---- parameters ----

    def get_params(self, deep=True):
        """The constructor parameters as a dict of name to the value given (`deep` has no effect:
        no parameter is an estimator)."""
        return {name: getattr(self, name) for name in self._PARAMS}

    def set_params(self, **params):
        """Set constructor parameters by name (ValueError for a name the constructor lacks); they are
        checked at the next fit. Returns self.

        >>> KMeans(3).set_params(n_clusters=2, max_iter=50)
        KMeans(n_clusters=2, max_iter=50, random_state=None, n_jobs=None, n_init=1, init='k-means++')
        """
        for name, value in params.items():
            if name not in self._PARAMS:
                raise ValueError(
                    f"Invalid parameter {name!r} for estimator {self!r}. Valid parameters are: {sorted(self._PARAMS)!r}."
                )
            setattr(self, name, value)
        return self

    def __repr__(self):
        args = ", ".join(f"{name}={getattr(self, name, None)!r}" for name in self._PARAMS)
        return f"{type(self).__name__}({args})"

    def __sklearn_tags__(self):
        from sklearn.utils import InputTags, Tags, TargetTags, TransformerTags

        return Tags(
            estimator_type="clusterer",
            target_tags=TargetTags(required=False),
            transformer_tags=TransformerTags(preserves_dtype=["float64"]),
            input_tags=InputTags(two_d_array=True),
        )

    def __sklearn_is_fitted__(self):
        return hasattr(self, "cluster_centers_")

    def _require_fitted(self):
        if not self.__sklearn_is_fitted__():
            # scikit-learn's own class when it is loaded, so its checks recognise it
            sklearn_exceptions = __import__("sys").modules.get("sklearn.exceptions")
            error = getattr(sklearn_exceptions, "NotFittedError", _NotFittedError)
            raise error(
                f"This {type(self).__name__} instance is not fitted yet. Call 'fit' with appropriate arguments "
                "before using this estimator."
            )

    # ---- fitting ----

    def _store(self, labels, centers, inertia, n_iter):
        np = _numpy()
        self.labels_ = np.asarray(labels, dtype=np.int64)
        self.cluster_centers_ = np.asarray(centers, dtype=np.float64).reshape(len(centers), -1)
        self.inertia_ = float(inertia)
        self.n_iter_ = int(n_iter)

    def fit(self, X, y=None):
        """Fit to the rows of X (n_samples x n_features; `y` is ignored) and return self.
        ValueError for bad input or parameters."""
        return self._fit_checked(X)

    def _fit_checked(self, X, **options):
        # The engine refuses NaN and infinities itself (ValueError below), so fit skips that pass.
        array = _check_array(X, self, reset=True, check_finite=False)
        k = self.n_clusters
        if isinstance(k, (int, _numpy().integer)) and array.shape[0] < k:
            raise ValueError(f"n_samples={array.shape[0]} should be >= n_clusters={k}.")
        self._store(*self._fit(array, **options))
        return self

    def fit_predict(self, X, y=None):
        """fit(X), then the labels of X's rows (labels_)."""
        return self.fit(X, y).labels_

    def fit_transform(self, X, y=None):
        """fit(X), then X's distances to the centers (as transform)."""
        return self._output(self.fit(X, y)._distances(_check_array(X, self, reset=False), squared=False), X)

    # ---- output names and containers ----

    def get_feature_names_out(self, input_features=None):
        """Names of the transform's columns: the class name in lower case and the center number
        ("kmeans0", "kmeans1", ...), as an object array. `input_features`, when given, must match
        the columns seen by fit (ValueError otherwise).

        >>> KMeans(2).fit([[0.0], [1.0], [9.0]]).get_feature_names_out().tolist()
        ['kmeans0', 'kmeans1']
        """
        np = _numpy()
        self._require_fitted()
        if input_features is not None:
            given = list(input_features)
            fitted = getattr(self, "feature_names_in_", None)
            if fitted is not None and given != list(fitted):
                raise ValueError("input_features is not equal to feature_names_in_")
            if len(given) != self.n_features_in_:
                raise ValueError(
                    f"input_features should have length equal to number of features ({self.n_features_in_}), "
                    f"got {len(given)}"
                )
        prefix = type(self).__name__.lower()
        return np.asarray([f"{prefix}{i}" for i in range(self.cluster_centers_.shape[0])], dtype=object)

    def set_output(self, *, transform=None):
        """Container of `transform` and `fit_transform` results: "default" (a NumPy array),
        "pandas" or "polars" (a data frame with get_feature_names_out's columns; a pandas frame keeps
        the input frame's index). None leaves the setting as it is; without a setting,
        scikit-learn's global `transform_output` applies. Returns self."""
        if transform is None:
            return self
        if transform not in ("default", "pandas", "polars"):
            raise ValueError(f"transform must be 'default', 'pandas', 'polars' or None, got {transform!r}")
        self._sklearn_output_config = {**getattr(self, "_sklearn_output_config", {}), "transform": transform}
        return self

    def _output(self, array, X):
        """`array` (rows of X by centers) in the container set_output chose."""
        config = getattr(self, "_sklearn_output_config", {}).get("transform")
        if config is None:
            sklearn = __import__("sys").modules.get("sklearn")  # its global setting, if it is loaded
            config = sklearn.get_config().get("transform_output", "default") if sklearn is not None else "default"
        if config == "pandas":
            import pandas

            index = X.index if isinstance(X, pandas.DataFrame) else None
            return pandas.DataFrame(array, columns=self.get_feature_names_out(), index=index)
        if config == "polars":
            import polars

            return polars.DataFrame(array, schema=list(self.get_feature_names_out()), orient="row")
        return array

    # ---- using the centers ----

    def _distances(self, array, squared):
        """Distances of every row to every center, features summed left to right like the engine."""
        np = _numpy()
        centers = self.cluster_centers_
        total = np.zeros((array.shape[0], centers.shape[0]))
        for j in range(array.shape[1]):
            diff = array[:, j, None] - centers[None, :, j]
            total += diff * diff
        return total if squared else np.sqrt(total)

    def predict(self, X):
        """The nearest center of every row of X (squared Euclidean distance, ties to the lower index),
        as an int64 array. NotFittedError before fit; ValueError for another number of features."""
        self._require_fitted()
        array = _check_array(X, self, reset=False)
        return self._distances(array, squared=True).argmin(axis=1).astype(_numpy().int64)

    def transform(self, X):
        """Euclidean distances of every row of X to every center, n_samples x n_clusters, in the
        container set_output chose. NotFittedError before fit."""
        self._require_fitted()
        return self._output(self._distances(_check_array(X, self, reset=False), squared=False), X)

    def score(self, X, y=None):
        """Opposite of the sum of squared distances of X to the nearest centers (higher is better)."""
        self._require_fitted()
        distances = self._distances(_check_array(X, self, reset=False), squared=True)
        return -float(sum(distances.min(axis=1).tolist()))

    # ---- pickling ----

    def __getstate__(self):
        state = dict(self.__dict__)
        state["_segmora_state_version"] = _STATE_VERSION
        return state

    def __setstate__(self, state):
        np = _numpy()
        name = type(self).__name__
        if not isinstance(state, dict) or state.get("_segmora_state_version") != _STATE_VERSION:
            raise ValueError(f"cannot restore {name}: not a state of this version ({_STATE_VERSION})")
        state = {**self._ADDED_PARAMS, **state}
        del state["_segmora_state_version"]
        missing = [p for p in self._PARAMS if p not in state]
        if missing:
            raise ValueError(f"cannot restore {name}: missing parameters {missing}")
        fitted = [a for a in self._FITTED if a in state]
        if fitted:
            if len(fitted) != len(self._FITTED):
                raise ValueError(f"cannot restore {name}: incomplete fitted state {fitted}")
            labels, centers = state["labels_"], state["cluster_centers_"]
            ok = (
                isinstance(labels, np.ndarray) and labels.ndim == 1 and labels.dtype == np.int64
                and isinstance(centers, np.ndarray) and centers.ndim == 2 and centers.dtype == np.float64
                and isinstance(state["n_features_in_"], int) and centers.shape[1] == state["n_features_in_"]
                and centers.shape[0] >= 1 and isinstance(state["inertia_"], float) and isinstance(state["n_iter_"], int)
                and (labels.size == 0 or (0 <= labels.min() and labels.max() < centers.shape[0]))
            )
            if not ok:
                raise ValueError(f"cannot restore {name}: inconsistent fitted state")
        reason = self._check_state(state)
        if reason:
            raise ValueError(f"cannot restore {name}: {reason}")
        self.__dict__.update(state)

    def _check_state(self, state):
        """Why a pickled state (its fitted part already checked) cannot be restored, or None."""
        return None


def _check_count(estimator, name):
    value = getattr(estimator, name)
    if isinstance(value, bool) or not isinstance(value, (int, _numpy().integer)) or value < 1:
        raise ValueError(f"{name} must be an int >= 1, got {value!r}")


def _check_n_init(estimator):
    """n_init as an int: "auto" is 1 (one k-means++ seeding)."""
    value = estimator.n_init
    if isinstance(value, str) and value == "auto":
        return 1
    if isinstance(value, bool) or not isinstance(value, (int, _numpy().integer)) or value < 1:
        raise ValueError(f"n_init must be an int >= 1 or 'auto', got {value!r}")
    return int(value)


def _sample_weight(sample_weight, n):
    """sample_weight as n finite non-negative float64 values (a number weighs every row alike); None for none."""
    np = _numpy()
    if sample_weight is None:
        return None
    weights = np.asarray(sample_weight, dtype=np.float64)
    if weights.ndim == 0:
        weights = np.full(n, float(weights))
    if weights.shape != (n,):
        raise ValueError(f"sample_weight.shape == {weights.shape}, expected {(n,)}!")
    if not np.isfinite(weights).all() or (weights < 0).any():
        raise ValueError("sample_weight must be finite and non-negative")
    return np.ascontiguousarray(weights)


class KMeans(_CentroidEstimator):
    """K-means clustering (k-means++ seeding, parallel Lloyd iterations) with scikit-learn's estimator interface.

    Parameters are stored as given and checked when fitting. random_state=None
    uses the engine's fixed default seed (42), so fits repeat exactly; an int
    (or a NumPy RandomState / Generator, which draws one) sets another seed.
    n_jobs=None uses one worker per CPU; results never depend on it.
    n_init fits run from successive k-means++ seedings of one generator and the
    first of least inertia is kept (n_init=1, the default, is kmeans_py's fit;
    "auto" means 1). init is "k-means++" or an array of n_clusters starting
    centers (one fit from them). fit(X, sample_weight=w) weighs the rows: the
    seeding draws rows in proportion to weight times squared distance, centers
    are weighted means and inertia_ weighs each row; whole-number weights give
    exactly, bit for bit, the fit of the data with each row repeated that many
    times (a row of weight 0 dropped).
    Fitted attributes: labels_, cluster_centers_, inertia_, n_iter_, n_features_in_
    (and feature_names_in_ for a data frame with string column names).

    >>> KMeans(2, n_init=3).fit([[0.0], [1.0], [9.0]], sample_weight=[1, 1, 2]).cluster_centers_.tolist()
    [[9.0], [0.5]]
    """

    _PARAMS = ("n_clusters", "max_iter", "random_state", "n_jobs", "n_init", "init")
    _ADDED_PARAMS = {"n_init": 1, "init": "k-means++"}

    def __init__(self, n_clusters=8, *, max_iter=300, random_state=None, n_jobs=None, n_init=1, init="k-means++"):
        """Store the parameters as given; fit checks them (see the class)."""
        self.n_clusters = n_clusters
        self.max_iter = max_iter
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.n_init = n_init
        self.init = init

    def fit(self, X, y=None, sample_weight=None):
        """Fit to the rows of X (n_samples x n_features), each weighted by sample_weight (None: all
        alike). Returns self. ValueError for bad input, parameters, weights (negative, non-finite,
        all zero, of another length) or init (another shape than (n_clusters, n_features))."""
        return self._fit_checked(X, sample_weight=sample_weight)

    def fit_predict(self, X, y=None, sample_weight=None):
        """fit(X, sample_weight=sample_weight), then the labels of X's rows."""
        return self.fit(X, sample_weight=sample_weight).labels_

    def fit_transform(self, X, y=None, sample_weight=None):
        """fit(X, sample_weight=sample_weight), then X's distances to the centers (as transform)."""
        self.fit(X, sample_weight=sample_weight)
        return self._output(self._distances(_check_array(X, self, reset=False), squared=False), X)

    def _starting_centers(self, X, n_init):
        """The init array as k x d float64, or None for k-means++ seeding."""
        np = _numpy()
        init = self.init
        if isinstance(init, str):
            if init != "k-means++":
                raise ValueError(f"init must be 'k-means++' or an array of shape (n_clusters, n_features), got {init!r}")
            return None
        centers = np.asarray(init, dtype=np.float64)
        expected = (self.n_clusters, X.shape[1])
        if centers.shape != expected:
            raise ValueError(f"init must have shape (n_clusters, n_features) = {expected}, got {centers.shape}")
        if n_init != 1:
            import warnings

            warnings.warn(
                f"init gives the starting centers: performing one fit instead of n_init={self.n_init}",
                RuntimeWarning, stacklevel=4,
            )
        return np.ascontiguousarray(centers)

    def _fit(self, X, sample_weight=None):
        for name in ("n_clusters", "max_iter"):
            _check_count(self, name)
        n_init = _check_n_init(self)
        init = self._starting_centers(X, n_init)
        weights = _sample_weight(sample_weight, X.shape[0])
        try:
            labels, centers, k, d, inertia, n_iter = _engine._kmeans_arrays(
                X, self.n_clusters, max_iter=self.max_iter, random_state=_seed(self.random_state), n_jobs=self.n_jobs,
                sample_weight=weights, n_init=n_init, init=init,
            )
        except RuntimeError as error:
            raise ValueError(str(error)) from error
        np = _numpy()
        return np.frombuffer(labels, dtype="=i8"), np.frombuffer(centers, dtype="=f8").reshape(k, d), inertia, n_iter


class MiniBatchKMeans(_CentroidEstimator):
    """Mini-batch k-means (k-means++ seeding from the first batch, then per-row center updates) with
    scikit-learn's estimator interface, including `partial_fit` for data that arrives in chunks.

    `fit` makes `max_iter` passes over the rows, each in an order drawn from the
    seed: the first `batch_size` rows (at least n_clusters) of the first pass
    seed the centers, and the rest stream in batches of `batch_size` rows;
    `partial_fit` feeds one chunk to the same engine (the first chunk seeds it
    and needs at least n_clusters rows). The seeding batch or chunk is seeded
    `n_init` times from the engine's generator and the seeds of least inertia
    on it are kept. Every time at least 10 x n_clusters rows have streamed in
    since the last check, centers that have absorbed fewer rows than
    `reassignment_ratio` times the busiest center's count move onto rows of the
    current batch drawn by the generator (0 never moves a center: the plain
    PyMiniBatchKMeans stream). random_state=None uses the engine's fixed
    default seed (42), so fits repeat exactly. Fitted attributes: labels_,
    cluster_centers_, inertia_ and n_iter_ (passes for `fit`, chunks for
    `partial_fit`), n_features_in_. After `fit`, labels_ and inertia_ describe
    all rows against the final centers; after `partial_fit`, the last chunk as
    the engine absorbed it: each row's center and the sum of the rows' squared
    distances to their centers as they stood when the row arrived. A pickled
    estimator carries its engine, so `partial_fit` continues the same stream
    after unpickling.

    >>> model = MiniBatchKMeans(2, n_init=3).partial_fit([[0.0], [1.0], [9.0]])
    >>> model.partial_fit([[10.0]]).labels_.tolist(), model.inertia_  # 10 met the center at 9
    ([1], 1.0)
    """

    _PARAMS = ("n_clusters", "batch_size", "max_iter", "random_state", "n_init", "reassignment_ratio")
    _ADDED_PARAMS = {"n_init": 1, "reassignment_ratio": 0.0}

    def __init__(self, n_clusters=8, *, batch_size=1024, max_iter=10, random_state=None, n_init=10,
                 reassignment_ratio=0.01):
        """Store the parameters as given; fit and partial_fit check them (see the class)."""
        self.n_clusters = n_clusters
        self.batch_size = batch_size
        self.max_iter = max_iter
        self.random_state = random_state
        self.n_init = n_init
        self.reassignment_ratio = reassignment_ratio

    def _new_model(self, seed):
        _check_count(self, "n_clusters")
        if seed is None:  # the engine's default seed; None itself is not accepted there
            return _engine.PyMiniBatchKMeans(self.n_clusters)
        return _engine.PyMiniBatchKMeans(self.n_clusters, seed)

    def _options(self):
        """(n_init, reassignment_ratio), checked."""
        np = _numpy()
        ratio = self.reassignment_ratio
        if (isinstance(ratio, bool) or not isinstance(ratio, (int, float, np.integer, np.floating))
                or not 0 <= ratio < float("inf")):
            raise ValueError(f"reassignment_ratio must be a finite number >= 0, got {ratio!r}")
        return _check_n_init(self), float(ratio)

    def _feed(self, model, chunk, options, since):
        """One chunk into the engine: (labels, centers, inertia, rows since the last reassignment check)."""
        np = _numpy()
        n_init, ratio = options
        seeded = model.is_initialized()
        since += chunk.shape[0] if seeded else 0
        due = seeded and since >= 10 * self.n_clusters
        try:
            labels, centers, inertia, _ = _engine._minibatch_partial_fit(
                model, chunk, n_init=n_init, reassignment_ratio=ratio, reassign=due
            )
        except RuntimeError as error:
            raise ValueError(str(error)) from error
        centers = np.frombuffer(centers, dtype="=f8").reshape(self.n_clusters, -1)
        return np.frombuffer(labels, dtype="=i8"), centers, inertia, 0 if due else since

    def _fit(self, X):
        for name in ("batch_size", "max_iter"):
            _check_count(self, name)
        options = self._options()
        seed = _seed(self.random_state)
        model = self._new_model(seed)
        # Every pass visits the rows in a fresh order drawn from the seed, so
        # sorted data (rows grouped by class) does not seed every center in one group.
        order = _numpy().random.default_rng(42 if seed is None else seed)
        first = max(self.batch_size, self.n_clusters)
        since = 0
        for n_pass in range(self.max_iter):
            rows = X[order.permutation(X.shape[0])]
            if n_pass == 0:
                centers = self._feed(model, rows[:first], options, since)[1]
            for start in range(first if n_pass == 0 else 0, X.shape[0], self.batch_size):
                _, centers, _, since = self._feed(model, rows[start:start + self.batch_size], options, since)
        self._model, self._rows_since_reassignment = model, since
        labels, inertia = _engine._assign_arrays(X, centers)
        return _numpy().frombuffer(labels, dtype="=i8"), centers, inertia, self.max_iter

    def partial_fit(self, X, y=None):
        """Feed one chunk of rows to the engine (the first chunk seeds it) and return self.

        labels_ and inertia_ then hold each row's center and the sum of the squared distances to
        those centers as each row arrived. ValueError for bad input or parameters, and for a first
        chunk of fewer than n_clusters rows."""
        fitted = self.__sklearn_is_fitted__() and hasattr(self, "_model")
        options = self._options()
        array = _check_array(X, self, reset=not fitted, check_finite=False)
        model = self._model if fitted else self._new_model(_seed(self.random_state))
        since = getattr(self, "_rows_since_reassignment", 0) if fitted else 0
        labels, centers, inertia, since = self._feed(model, array, options, since)
        self._model, self._rows_since_reassignment = model, since
        self._store(labels, centers, inertia, (self.n_iter_ + 1) if fitted else 1)
        return self

    def _check_state(self, state):
        model = state.get("_model")
        if model is None:
            return "a fitted state without its engine" if "cluster_centers_" in state else None
        if type(model) is not _engine.PyMiniBatchKMeans or not model.is_initialized():
            return "the engine is not a seeded PyMiniBatchKMeans"
        if "cluster_centers_" not in state or len(model.centers) != len(state["cluster_centers_"]):
            return "the engine and the centers disagree"
        return None


# ---- purchase and spend models ----


def _float_array(raw):
    """The engine's float64 bytes as a NumPy array, or an array.array where NumPy is missing."""
    try:
        import numpy
    except ImportError:
        import array

        return array.array("d", bytes(raw))
    return numpy.frombuffer(raw, dtype=numpy.float64)


class _CustomerModel:
    """Shared surface of the purchase and spend models: fitting, fitted state, repr and pickling.

    A subclass sets `_MODEL` (the engine's name for it), `_PARAMS` (the
    parameter names in the engine's order) and `_SUMMARY` (what fit reads, for
    messages).
    """

    _MODEL = ""
    _PARAMS = ()
    _FITTED = ("params_", "log_likelihood_", "n_iter_", "converged_")
    _DEFAULTS = {"max_iter": 100, "tol": 1e-8, "n_jobs": None}

    def __init__(self, *, max_iter=100, tol=1e-8, n_jobs=None):
        """Store the settings of the fit: at most max_iter Newton steps, converged when a step moves
        no log-parameter by more than tol, n_jobs worker threads (None: one per CPU)."""
        self.max_iter = max_iter
        self.tol = tol
        self.n_jobs = n_jobs

    def _fit(self, columns):
        params, log_likelihood, n_iter, converged = _engine._clv_fit(self._MODEL, columns, self.max_iter, self.tol,
                                                                     self.n_jobs)
        if not converged:
            import warnings

            warnings.warn(
                f"{type(self).__name__} did not converge in {n_iter} Newton steps (max_iter={self.max_iter}); "
                "params_ hold the last step's values", UserWarning, stacklevel=3)
        self.params_ = dict(zip(self._PARAMS, params))
        self.log_likelihood_ = log_likelihood
        self.n_iter_ = n_iter
        self.converged_ = converged
        return self

    def _params(self):
        if not hasattr(self, "params_"):
            raise _NotFittedError(
                f"This {type(self).__name__} instance is not fitted yet. Call 'fit' with appropriate arguments first.")
        return tuple(self.params_[name] for name in self._PARAMS)

    def __repr__(self):
        if hasattr(self, "params_"):
            shown = [f"{name}={self.params_[name]:.4g}" for name in self._PARAMS]
        else:
            shown = [f"{name}={getattr(self, name)!r}" for name, default in self._DEFAULTS.items()
                     if getattr(self, name) != default]
        return f"{type(self).__name__}({', '.join(shown)})"

    def __getstate__(self):
        state = {name: getattr(self, name) for name in self._DEFAULTS}
        if hasattr(self, "params_"):
            state.update({name: getattr(self, name) for name in self._FITTED})
            state["params_"] = dict(self.params_)
        state["_segmora_state_version"] = _STATE_VERSION
        return state

    def __setstate__(self, state):
        import math

        name = type(self).__name__
        if not isinstance(state, dict) or state.get("_segmora_state_version") != _STATE_VERSION:
            raise ValueError(f"cannot restore {name}: not a state of this version ({_STATE_VERSION})")
        missing = [key for key in self._DEFAULTS if key not in state]
        if missing:
            raise ValueError(f"cannot restore {name}: missing parameters {missing}")
        fitted = [key for key in self._FITTED if key in state]
        if fitted:
            params = state.get("params_")
            ok = (
                len(fitted) == len(self._FITTED) and isinstance(params, dict) and tuple(params) == self._PARAMS
                and all(type(v) is float and math.isfinite(v) and v > 0 for v in params.values())
                and type(state["log_likelihood_"]) is float and type(state["n_iter_"]) is int
                and type(state["converged_"]) is bool
            )
            if not ok:
                raise ValueError(f"cannot restore {name}: inconsistent fitted state")
        self.__dict__.update({key: value for key, value in state.items() if key != "_segmora_state_version"})


class _PurchaseModel(_CustomerModel):
    """Shared predictions of the purchase models (BG/NBD, Pareto/NBD)."""

    def fit(self, frequency, recency, T):
        """fit(frequency, recency, T)

        Fits the model by maximum likelihood and returns self.

        frequency: repeat purchases of each customer (whole numbers >= 0);
        recency: time from the first to the last purchase (0 without a repeat
        purchase); T: time from the first purchase to the end of the
        observation, all in the same unit (1-D arrays, pandas Series or lists of
        equal length, as clv_summary_from_columns returns them). Sets params_
        (a dict), log_likelihood_ (the total), n_iter_ (Newton steps) and
        converged_. A fit that does not converge within max_iter steps warns
        (UserWarning) and sets converged_ False. ValueError names the argument
        and the first bad index for a value that is not finite, negative, a
        fractional frequency, a recency above T or above 0 without a repeat
        purchase; no customers is a RuntimeError.
        """
        return self._fit((frequency, recency, T))

    def probability_alive(self, frequency, recency, T):
        """probability_alive(frequency, recency, T)

        P(alive): the probability that each customer is still active at T, as a
        float64 array (1.0 for customers without a repeat purchase under BG/NBD).
        Arguments and errors as for fit.
        """
        return _float_array(_engine._clv_predict(self._MODEL, "alive", self._params(), (frequency, recency, T),
                                                 n_jobs=self.n_jobs))

    def predict_purchases(self, t, frequency, recency, T):
        """predict_purchases(t, frequency, recency, T)

        Expected number of purchases of each customer in the next t periods
        (after T), given its history, as a float64 array. t is a float >= 0 in
        the unit of recency and T. Arguments and errors as for fit.
        """
        return _float_array(_engine._clv_predict(self._MODEL, "purchases", self._params(), (frequency, recency, T),
                                                 t=t, n_jobs=self.n_jobs))

    def expected_purchases(self, t):
        """expected_purchases(t)

        Expected number of purchases in (0, t] of a customer just acquired: a
        float for a number t, a float64 array for an array or list of them.
        ValueError for a t that is negative or not finite.
        """
        import numbers

        scalar = isinstance(t, numbers.Real) and not isinstance(t, bool)
        values = _float_array(_engine._clv_expected(self._MODEL, self._params(), [t] if scalar else t))
        return float(values[0]) if scalar else values


class BetaGeoModel(_PurchaseModel):
    """BetaGeoModel(*, max_iter=100, tol=1e-8, n_jobs=None)

    BG/NBD ("beta-geometric / negative binomial") model of repeat purchases (Fader, Hardie and Lee, 2005).

    While alive, a customer buys at rate lambda ~ Gamma(r, alpha); after each
    purchase it drops out with probability p ~ Beta(a, b). Fitted by maximum
    likelihood with Newton's method on the logarithms of the parameters
    (analytic gradient and Hessian, at most max_iter steps; converged when a
    step changes no log-parameter by more than tol). n_jobs caps the worker
    threads; results never depend on it. Fitted attributes: params_ ({"r",
    "alpha", "a", "b"}), log_likelihood_, n_iter_, converged_.

    >>> import numpy as np
    >>> rng = np.random.default_rng(0)                              # 1,000 simulated customers:
    >>> T = rng.uniform(20.0, 60.0, 1000)                           # days since the first purchase,
    >>> active = np.minimum(rng.exponential(1 / rng.gamma(0.7, 1 / 12.0, 1000)), T)   # days active,
    >>> frequency = rng.poisson(rng.gamma(0.6, 1 / 8.0, 1000) * active).astype(float)  # repeat purchases
    >>> recency = np.where(frequency > 0, active * rng.random(1000) ** (1 / np.maximum(frequency, 1)), 0.0)
    >>> model = BetaGeoModel().fit(frequency, recency, T)
    >>> model.converged_, sorted(model.params_)
    (True, ['a', 'alpha', 'b', 'r'])
    >>> model.probability_alive([0.0, 4.0], [0.0, 50.0], [60.0, 60.0]).round(3).tolist()
    [1.0, 0.804]
    """

    _MODEL = "BetaGeo"
    _PARAMS = ("r", "alpha", "a", "b")


class ParetoNBDModel(_PurchaseModel):
    """ParetoNBDModel(*, max_iter=100, tol=1e-8, n_jobs=None)

    Pareto/NBD model of repeat purchases (Schmittlein, Morrison and Colombo, 1987).

    While alive, a customer buys at rate lambda ~ Gamma(r, alpha) and drops out
    at rate mu ~ Gamma(s, beta), at any time. The interface is BetaGeoModel's;
    params_ holds "r", "alpha", "s", "beta". The likelihood's Gaussian
    hypergeometric terms are summed as series of positive terms, never NaN.

    >>> import numpy as np
    >>> rng = np.random.default_rng(0)                              # simulated as for BetaGeoModel
    >>> T = rng.uniform(20.0, 60.0, 1000)
    >>> active = np.minimum(rng.exponential(1 / rng.gamma(0.7, 1 / 12.0, 1000)), T)
    >>> frequency = rng.poisson(rng.gamma(0.6, 1 / 8.0, 1000) * active).astype(float)
    >>> recency = np.where(frequency > 0, active * rng.random(1000) ** (1 / np.maximum(frequency, 1)), 0.0)
    >>> model = ParetoNBDModel().fit(frequency, recency, T)
    >>> model.predict_purchases(30, [4.0], [50.0], [60.0]).round(3).tolist()   # the next 30 days
    [1.346]
    """

    _MODEL = "ParetoNBD"
    _PARAMS = ("r", "alpha", "s", "beta")


def _count_zero_spend(frequency, monetary_value):
    """Repeat customers (frequency > 0) whose mean spend is 0."""
    try:
        np = _numpy()
        return int(np.count_nonzero((np.asarray(frequency, dtype=float) > 0) & (np.asarray(monetary_value, dtype=float) == 0)))
    except ImportError:
        return sum(1 for x, m in zip(frequency, monetary_value) if x > 0 and m == 0)


class GammaGammaModel(_CustomerModel):
    """GammaGammaModel(*, max_iter=100, tol=1e-8, n_jobs=None)

    Gamma-Gamma model of the average spend of repeat customers (Fader, Hardie and Lee, 2005).

    A customer's purchases have mean value p / nu with nu ~ Gamma(q, v); the
    mean of x purchases is observed. Fitted like BetaGeoModel; params_ holds
    "p", "q", "v". Only customers with frequency > 0 enter the fit (the model
    describes the mean of repeat purchases; a customer without one has none),
    and of those only the ones whose purchases were worth more than 0.

    >>> import numpy as np
    >>> rng = np.random.default_rng(0)                              # simulated as for BetaGeoModel
    >>> T = rng.uniform(20.0, 60.0, 1000)
    >>> active = np.minimum(rng.exponential(1 / rng.gamma(0.7, 1 / 12.0, 1000)), T)
    >>> frequency = rng.poisson(rng.gamma(0.6, 1 / 8.0, 1000) * active).astype(float)
    >>> recency = np.where(frequency > 0, active * rng.random(1000) ** (1 / np.maximum(frequency, 1)), 0.0)
    >>> value = np.where(frequency > 0, rng.gamma(6.0, 1 / rng.gamma(4.0, 1 / 15.0, 1000)), 0.0)
    >>> spend = GammaGammaModel().fit(frequency, value)
    >>> spend.expected_average_value([0.0, 3.0], [0.0, 40.0]).round(2).tolist()
    [32.93, 39.91]
    >>> purchases = BetaGeoModel().fit(frequency, recency, T)
    >>> spend.customer_lifetime_value(purchases, [4.0], [50.0], [60.0], [40.0], months=6).round(2).tolist()
    [245.07]
    """

    _MODEL = "GammaGamma"
    _PARAMS = ("p", "q", "v")

    def fit(self, frequency, monetary_value):
        """fit(frequency, monetary_value)

        Fits the model on the customers with frequency > 0 and returns self.
        monetary_value is the mean value of each customer's repeat purchases
        (>= 0). Customers with frequency 0 are left out, and so are repeat
        customers whose mean spend is 0 (the model has no spend to describe;
        a UserWarning counts them). ValueError names the argument and the
        first bad index; no repeat customer of positive spend is a RuntimeError.
        """
        self._fit((frequency, monetary_value))
        left_out = _count_zero_spend(frequency, monetary_value)
        if left_out:
            import warnings

            warnings.warn(f"GammaGammaModel left {left_out} repeat customers whose monetary_value is 0 out of the fit",
                          UserWarning, stacklevel=2)
        return self

    def expected_average_value(self, frequency, monetary_value):
        """expected_average_value(frequency, monetary_value)

        Expected mean spend per purchase of each customer given its history, as
        a float64 array: p (v + x m) / (p x + q - 1), the population mean
        p v / (q - 1) for customers with frequency 0.
        """
        return _float_array(_engine._clv_predict(self._MODEL, "value", self._params(), (frequency, monetary_value),
                                                 n_jobs=self.n_jobs))

    def customer_lifetime_value(self, purchase_model, frequency, recency, T, monetary_value, months=12,
                                discount_rate=0.01, period_days=1.0):
        """customer_lifetime_value(purchase_model, frequency, recency, T, monetary_value, months=12, discount_rate=0.01, period_days=1.0)

        Discounted value of each customer over the next `months` months, as a
        float64 array: for month k = 1 .. months, the expected average value
        times the purchases purchase_model (a fitted BetaGeoModel or
        ParetoNBDModel) expects between months k - 1 and k, divided by
        (1 + discount_rate)^k. A month is 30 days; period_days is the length in
        days of the unit of recency and T (1.0: days, 7.0: weeks).
        """
        if not isinstance(purchase_model, _PurchaseModel):
            raise TypeError(
                f"purchase_model must be a BetaGeoModel or ParetoNBDModel, not {type(purchase_model).__name__}")
        raw = _engine._clv_lifetime_value(purchase_model._MODEL, purchase_model._params(), self._params(),
                                          (frequency, recency, T, monetary_value), months, discount_rate,
                                          period_days, n_jobs=self.n_jobs)
        return _float_array(raw)


ESTIMATORS = (KMeans, MiniBatchKMeans, BetaGeoModel, ParetoNBDModel, GammaGammaModel)

// The Search class: one tree per root position, driven step by step from
// Python (select / expand) or to the end by run(), its leaves' planes handed
// to the caller's evaluator as one array per step.
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "../../search.h"
#include "../numpy_util.h"
#include "../objects.h"
#include "batch_module.h"

namespace gravline::py {
namespace {

constexpr const char *kModule = "drevik_gravline_batch";
constexpr uint64_t kMaxThreads = 1024;
/// Work (about a nanosecond a unit) below which a call keeps the lock.
constexpr std::size_t kReleaseUnits = 4096;

/// What a Search object holds: the trees, the step's leaf rows, the threads.
template <int NW>
struct SearchValue {
    TreeSearch<NW> search;
    unsigned threads;
    std::unique_ptr<WorkerPool> pool;
    std::vector<std::size_t> offsets;  // the first row of each tree's leaves in this step, then the total
    Ref buffer;                        // run()'s planes, reused from step to step
};

using PySearch = VarObject<SearchValue>;

Lazy<PyTypeObject> search_class;
PyTypeObject *search_type();

const NumpyApi &np() { return numpy_api(kModule); }

/// Runs range(lo, hi) over ranges that cover every tree: with the lock held
/// for small work, else without it, the ranges shared with the pool's workers.
/// Only engine code runs in them.
template <class F>
void for_tree_ranges(std::size_t count, std::size_t units, WorkerPool *pool, F &&range) {
    if (count * units < kReleaseUnits) return range(0, count);
    Unlocked unlocked;
    if (!pool) return range(0, count);
    pool->run(count, std::max<std::size_t>(1, 65536 / std::max<std::size_t>(units, 1)), range);
}

/// Runs f(t) for every tree, or f(t, end) with the end of the range of trees
/// that the same thread works after t, as for_tree_ranges.
template <class F>
void for_trees(std::size_t count, std::size_t units, WorkerPool *pool, F &&f) {
    for_tree_ranges(count, units, pool, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t t = lo; t < hi; ++t) {
            if constexpr (std::is_invocable_v<F &, std::size_t, std::size_t>) f(t, hi);
            else f(t);
        }
    });
}

double double_arg(PyObject *o, const char *name, double fallback) {
    if (!o) return fallback;
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw_argument_error(name);
    if (!std::isfinite(v)) throw PyError(PyExc_ValueError, std::string(name) + " must be finite");
    return v;
}

// ---- construction ----

/// Game objects from a sequence of them or from a GameBatch (its games copied).
std::vector<Ref> roots_arg(PyObject *o) {
    PyTypeObject *game = require_type(game_type, "Game");
    std::vector<Ref> games;
    if (std::strcmp(Py_TYPE(o)->tp_name, "drevik_gravline_batch.GameBatch") == 0) {
        Ref n = check(PyObject_CallMethod(o, "count", nullptr));
        const Py_ssize_t count = PyLong_AsSsize_t(n.get());
        if (count == -1 && PyErr_Occurred()) throw_error_already_set();
        for (Py_ssize_t i = 0; i < count; ++i) games.push_back(check(PyObject_CallMethod(o, "game", "n", i)));
        return games;
    }
    Ref fast = Ref::steal(PySequence_Fast(o, "expected a GameBatch or a sequence of Game objects"));
    if (!fast) throw_argument_error("games");
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    PyObject **items = PySequence_Fast_ITEMS(fast.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyObject_TypeCheck(items[i], game)) throw_argument_not_instance(items[i], "Game", "games");
        games.push_back(Ref::borrow(items[i]));
    }
    return games;
}

/// The settings shared by Search and self_play_search, from their keyword
/// arguments in this order (absent ones null): simulations, algorithm,
/// leaves_per_step, c_puct_init, c_puct_base, dirichlet_alpha,
/// dirichlet_fraction, gumbel_samples, gumbel_scale, c_visit, c_scale, seed,
/// threads. The thread count is returned beside them.
std::pair<SearchConfig, unsigned> config_arg(const std::array<PyObject *, 13> &a) {
    SearchConfig c;
    const uint64_t sims = to_u64(a[0], "simulations");
    if (sims < 1 || sims > (uint64_t{1} << 24)) throw PyError(PyExc_ValueError, "simulations must be between 1 and 2**24");
    c.simulations = static_cast<uint32_t>(sims);
    if (a[1]) {
        if (!PyUnicode_Check(a[1])) throw_argument_not_instance(a[1], "str", "algorithm");
        if (PyUnicode_CompareWithASCIIString(a[1], "puct") == 0) c.algorithm = SearchAlgorithm::Puct;
        else if (PyUnicode_CompareWithASCIIString(a[1], "gumbel") == 0) c.algorithm = SearchAlgorithm::Gumbel;
        else {
            Ref text = check(PyObject_Repr(a[1]));
            throw PyError(PyExc_ValueError,
                          std::string("algorithm must be 'puct' or 'gumbel', not ") + PyUnicode_AsUTF8(text.get()));
        }
    }
    const uint64_t lps = u64_or(a[2], "leaves_per_step", 1);
    if (lps < 1 || lps > 1024) throw PyError(PyExc_ValueError, "leaves_per_step must be between 1 and 1024");
    c.leaves_per_step = static_cast<uint32_t>(lps);
    c.c_puct_init = double_arg(a[3], "c_puct_init", 1.25);
    c.c_puct_base = double_arg(a[4], "c_puct_base", 19652);
    if (c.c_puct_base <= 0) throw PyError(PyExc_ValueError, "c_puct_base must be positive");
    c.dirichlet_alpha = double_arg(a[5], "dirichlet_alpha", 0.3);
    c.dirichlet_fraction = double_arg(a[6], "dirichlet_fraction", 0.25);
    if (c.dirichlet_fraction < 0 || c.dirichlet_fraction > 1)
        throw PyError(PyExc_ValueError, "dirichlet_fraction must be between 0 and 1");
    if (c.dirichlet_fraction > 0 && c.dirichlet_alpha <= 0)
        throw PyError(PyExc_ValueError, "dirichlet_alpha must be positive");
    const uint64_t k = u64_or(a[7], "gumbel_samples", 16);
    if (k < 1) throw PyError(PyExc_ValueError, "gumbel_samples must be at least 1");
    c.gumbel_samples = static_cast<uint32_t>(std::min<uint64_t>(k, kMaxColumns));
    c.gumbel_scale = double_arg(a[8], "gumbel_scale", 1.0);
    if (c.gumbel_scale < 0) throw PyError(PyExc_ValueError, "gumbel_scale must not be negative");
    c.c_visit = double_arg(a[9], "c_visit", 50);
    c.c_scale = double_arg(a[10], "c_scale", 1.0);
    c.seed = u64_or(a[11], "seed", 0);
    const uint64_t threads = u64_or(a[12], "threads", 1);
    if (threads < 1 || threads > kMaxThreads)
        throw PyError(PyExc_ValueError, "threads must be between 1 and " + std::to_string(kMaxThreads));
    return {c, static_cast<unsigned>(threads)};
}

#define GRAVLINE_SEARCH_KEYWORDS                                                                         \
    "simulations", "algorithm", "leaves_per_step", "c_puct_init", "c_puct_base", "dirichlet_alpha",  \
        "dirichlet_fraction", "gumbel_samples", "gumbel_scale", "c_visit", "c_scale", "seed", "threads"

/// The 13 settings' slots of a bound call, from slot `first`.
template <class B>
std::array<PyObject *, 13> config_slots(const B &a, std::size_t first) {
    std::array<PyObject *, 13> out{};
    for (std::size_t i = 0; i < 13; ++i) out[i] = a[first + i];
    return out;
}

Ref search_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static constexpr std::array<const char *, 14> names{"games", GRAVLINE_SEARCH_KEYWORDS};
    const auto a = py::bind("Search.__new__()", names, 1, 2, args, kwargs);
    const auto [c, threads] = config_arg(config_slots(a, 1));
    const std::vector<Ref> games = roots_arg(a[0]);
    if (games.empty()) throw PyError(PyExc_ValueError, "Search needs at least one game");
    std::vector<std::optional<SharedBorrow>> borrows(games.size());
    for (std::size_t i = 0; i < games.size(); ++i) borrows[i].emplace(PyGame::from(games[i].get())->borrow);
    const int nw = PyGame::from(games[0].get())->nw;
    return with_word_count(nw, [&](auto n) {
        constexpr int NW = n.value;
        std::vector<Game<NW>> roots;
        roots.reserve(games.size());
        for (std::size_t i = 0; i < games.size(); ++i) {
            PyGame *g = PyGame::from(games[i].get());
            if (g->nw != NW) throw PyError(PyExc_ValueError, "all games must have the same size");
            const Game<NW> &game = g->as<NW>();
            if (!roots.empty() && (game.width() != roots[0].width() || game.height() != roots[0].height()))
                throw PyError(PyExc_ValueError, "all games must have the same size");
            if (game.over) throw PyError(PyExc_ValueError, "game " + std::to_string(i) + " is over");
            roots.push_back(game);
        }
        std::unique_ptr<WorkerPool> pool;
        if (threads > 1) pool = std::make_unique<WorkerPool>(static_cast<unsigned>(threads - 1));
        return PySearch::create<NW>(type, SearchValue<NW>{TreeSearch<NW>::make(roots, c), static_cast<unsigned>(threads),
                                                          std::move(pool), {}, Ref()});
    });
}

PySearch *search_of(PyObject *self) {
    check_receiver(self, search_class, search_type, "Search");
    return PySearch::from(self);
}

/// Runs f(value) under a borrow of the receiver of kind A.
template <Access A, class F>
decltype(auto) with_search(PyObject *self, F &&f) {
    PySearch *s = search_of(self);
    Borrow<A> borrow(s->borrow);
    return s->visit([&](auto &v) -> decltype(auto) { return f(v); });
}

// ---- the step ----

/// Gathers every tree's leaves and writes their planes and masks; `out` is
/// null, None or a float32 buffer of the largest step's shape, whose first
/// rows are returned.
template <int NW>
Ref do_select(SearchValue<NW> &v, PyObject *out) {
    TreeSearch<NW> &s = v.search;
    if (s.pending()) throw PyError(PyExc_RuntimeError, "select() was called again before expand()");
    const std::size_t n = s.count();
    for_tree_ranges(n, 200 * s.config().leaves_per_step, v.pool.get(),
                    [&](std::size_t lo, std::size_t hi) { s.gather_range(lo, hi); });
    v.offsets.assign(n + 1, 0);
    for (std::size_t t = 0; t < n; ++t) v.offsets[t + 1] = v.offsets[t] + s.tree(t).leaves.size();
    const auto rows = static_cast<npy_intp>(v.offsets[n]);
    const auto h = static_cast<npy_intp>(s.height()), w = static_cast<npy_intp>(s.width());
    Ref planes;
    if (out && out != Py_None) {
        const auto most = static_cast<npy_intp>(n * s.config().leaves_per_step);
        Ref whole = Ref::borrow(reinterpret_cast<PyObject *>(out_array(out, "out", NPY_FLOAT32, {most, kSpatialInputPlanes, h, w})));
        planes = check(PySequence_GetSlice(whole.get(), 0, rows));
    } else {
        planes = new_array(NPY_FLOAT32, {rows, kSpatialInputPlanes, h, w});
    }
    Ref mask = new_array(NPY_BOOL, {rows, w});
    auto *p = static_cast<float *>(array_data(planes));
    auto *m = static_cast<uint8_t *>(array_data(mask));
    const std::size_t per_leaf = std::size_t{kSpatialInputPlanes} * s.cells();
    for_trees(n, per_leaf * s.config().leaves_per_step, v.pool.get(), [&](std::size_t t) {
        for (std::size_t k = 0; k < s.tree(t).leaves.size(); ++k) {
            const std::size_t row = v.offsets[t] + k;
            s.write_leaf(t, k, p + row * per_leaf, m + row * s.width());
        }
    });
    return check(PyTuple_Pack(2, planes.get(), mask.get()));
}

/// A float32 C-contiguous array of `shape` from `o`, cast from another real dtype if need be.
Ref float_array(PyObject *o, const char *name, std::initializer_list<npy_intp> shape) {
    Ref a = Ref::steal(PyArray_FromAny(o, PyArray_DescrFromType(NPY_FLOAT32), 0, 0,
                                       NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
    if (!a) throw_argument_error(name);
    auto *arr = reinterpret_cast<PyArrayObject *>(a.get());
    bool ok = PyArray_NDIM(arr) == static_cast<int>(shape.size());
    int d = 0;
    for (npy_intp s : shape) ok = ok && PyArray_DIM(arr, d++) == s;
    if (!ok) {
        std::string got = "(";
        for (int i = 0; i < PyArray_NDIM(arr); ++i) got += (i ? ", " : "") + std::to_string(PyArray_DIM(arr, i));
        got += PyArray_NDIM(arr) == 1 ? ",)" : ")";
        throw PyError(PyExc_ValueError,
                      std::string("argument '") + name + "': expected shape " + shape_text(shape) + ", got " + got);
    }
    return a;
}

template <int NW>
void do_expand(SearchValue<NW> &v, PyObject *priors_obj, PyObject *values_obj) {
    TreeSearch<NW> &s = v.search;
    if (!s.pending() && (v.offsets.empty() || v.offsets.back() != 0))
        throw PyError(PyExc_RuntimeError, "expand() needs a select() first");
    const std::size_t n = s.count();
    const auto rows = static_cast<npy_intp>(v.offsets.back());
    Ref priors = float_array(priors_obj, "priors", {rows, static_cast<npy_intp>(s.width())});
    Ref values = float_array(values_obj, "values", {rows});
    const auto *l = static_cast<const float *>(array_data(priors));
    const auto *val = static_cast<const float *>(array_data(values));
    // Every row is checked before any tree changes, so a refusal leaves the step as it was.
    for (std::size_t t = 0; t < n; ++t)
        if (auto why = s.check(t, l, val, v.offsets[t])) throw PyError(PyExc_ValueError, *why);
    for_trees(n, 100 * s.config().leaves_per_step, v.pool.get(),
              [&](std::size_t t, std::size_t end) { s.expand(t, l, val, v.offsets[t], end); });
    v.offsets.assign(1, 0);
}

Ref search_select(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"out"};
    const auto [out] = py::bind("Search.select()", names, 1, 0, args, nargs, kwnames);
    np();
    return with_search<Access::Exclusive>(self, [&](auto &v) { return do_select(v, out); });
}

Ref search_expand(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 2> names{"priors", "values"};
    const auto [priors, values] = py::bind("Search.expand()", names, args, nargs, kwnames);
    np();
    return with_search<Access::Exclusive>(self, [&](auto &v) {
        do_expand(v, priors, values);
        return py_none();
    });
}

template <int NW>
void run_search(SearchValue<NW> &v, PyObject *evaluate);

Ref search_run(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"evaluate"};
    const auto [evaluate] = py::bind("Search.run()", names, args, nargs, kwnames);
    np();
    return with_search<Access::Exclusive>(self, [&](auto &v) {
        run_search(v, evaluate);
        return py_none();
    });
}

/// Runs every tree's search to its end with `evaluate`: a callable, or 'rollout'.
template <int NW>
void run_search(SearchValue<NW> &v, PyObject *evaluate) {
        auto &s = v.search;
        if (s.pending()) throw PyError(PyExc_RuntimeError, "run() was called between select() and expand()");
        if (PyUnicode_Check(evaluate)) {
            if (PyUnicode_CompareWithASCIIString(evaluate, "rollout") != 0)
                throw PyError(PyExc_ValueError, "evaluate must be callable or 'rollout'");
            const std::size_t units = std::size_t{s.config().simulations} * s.cells() * 20;
            // In slices of some tens of milliseconds, Ctrl-C looked for
            // between them: a tree's search runs whole or not at all, so a
            // search stopped here runs on from where it stood.
            const std::size_t slice = std::max<std::size_t>(1, (std::size_t{1} << 24) / std::max<std::size_t>(units, 1));
            for (std::size_t first = 0; first < s.count(); first += slice) {
                const std::size_t n = std::min(slice, s.count() - first);
                for_trees(n, units, v.pool.get(), [&](std::size_t t) { s.run_rollout(first + t); });
                if (PyErr_CheckSignals() < 0) throw_error_already_set();
            }
            return;
        }
        if (!PyCallable_Check(evaluate)) throw PyError(PyExc_TypeError, "evaluate must be callable or 'rollout'");
        if (!v.buffer)
            v.buffer = new_array(NPY_FLOAT32, {static_cast<npy_intp>(s.count() * s.config().leaves_per_step),
                                               kSpatialInputPlanes, static_cast<npy_intp>(s.height()),
                                               static_cast<npy_intp>(s.width())});
        while (!s.done()) {
            Ref step = do_select(v, v.buffer.get());
            if (v.offsets.back() == 0) {
                v.offsets.assign(1, 0);
                continue;
            }
            try {
                Ref result = check(PyObject_Call(evaluate, step.get(), nullptr));
                Ref fast = Ref::steal(PySequence_Fast(result.get(), "evaluate must return (priors, values)"));
                if (!fast) throw_error_already_set();
                if (PySequence_Fast_GET_SIZE(fast.get()) != 2)
                    throw PyError(PyExc_TypeError, "evaluate must return (priors, values)");
                do_expand(v, PySequence_Fast_GET_ITEM(fast.get(), 0), PySequence_Fast_GET_ITEM(fast.get(), 1));
            } catch (...) {
                // The step's leaves are taken back unevaluated: the search stays usable.
                for (std::size_t t = 0; t < s.count(); ++t) s.abandon(t);
                v.offsets.clear();
                throw;
            }
        }
}

Ref search_done(PyObject *self) {
    return py_bool(with_search<Access::Shared>(self, [](auto &v) { return v.search.done(); }));
}

// ---- results ----

/// A new (games, width) array of `typenum` with row t written by f(search, t, row).
template <class T, class F>
Ref per_root_row(PyObject *self, int typenum, F &&f) {
    np();
    return with_search<Access::Shared>(self, [&](auto &v) {
        auto &s = v.search;
        Ref result = new_array(typenum, {static_cast<npy_intp>(s.count()), static_cast<npy_intp>(s.width())});
        T *out = static_cast<T *>(array_data(result));
        for (std::size_t t = 0; t < s.count(); ++t) f(s, t, out + t * s.width());
        return result;
    });
}

/// A new (games,) array of `typenum` with element t set to f(search, t).
template <class T, class F>
Ref per_root(PyObject *self, int typenum, F &&f) {
    np();
    return with_search<Access::Shared>(self, [&](auto &v) {
        auto &s = v.search;
        Ref result = new_array(typenum, {static_cast<npy_intp>(s.count())});
        T *out = static_cast<T *>(array_data(result));
        for (std::size_t t = 0; t < s.count(); ++t) out[t] = f(s, t);
        return result;
    });
}

Ref search_visit_counts(PyObject *self) {
    return per_root_row<uint32_t>(self, NPY_UINT32, [](auto &s, std::size_t t, uint32_t *row) { s.visit_counts(t, row); });
}

double temperature_arg(PyObject *o) {
    const double t = double_arg(o, "temperature", 1.0);
    if (t < 0) throw PyError(PyExc_ValueError, "temperature must not be negative");
    return t;
}

Ref search_policy(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"temperature"};
    const auto [temp] = py::bind("Search.policy()", names, 1, 0, args, nargs, kwnames);
    const double t = temperature_arg(temp);
    return per_root_row<float>(self, NPY_FLOAT32, [t](auto &s, std::size_t i, float *row) { s.policy(i, t, row); });
}

Ref search_root_values(PyObject *self) {
    return per_root<float>(self, NPY_FLOAT32, [](auto &s, std::size_t t) { return static_cast<float>(s.root_value(t)); });
}

Ref search_best_actions(PyObject *self) {
    return per_root<int64_t>(self, NPY_INT64, [](auto &s, std::size_t t) { return int64_t{s.best_action(t)}; });
}

Ref search_stopped(PyObject *self) {
    return per_root<uint8_t>(self, NPY_BOOL, [](auto &s, std::size_t t) { return uint8_t{s.stopped(t)}; });
}

Ref search_sample_actions(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 2> names{"temperature", "seed"};
    const auto [temp, seed_obj] = py::bind("Search.sample_actions()", names, 2, 0, args, nargs, kwnames);
    const double t = temperature_arg(temp);
    const uint64_t seed = u64_or(seed_obj, "seed", 0);
    return per_root<int64_t>(self, NPY_INT64, [&](auto &s, std::size_t i) {
        GameRng rng = GameRng::for_game(seed, i);
        return int64_t{s.sample_action(i, t, rng)};
    });
}

Ref search_advance(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 2> names{"actions", "finished"};
    const auto [actions_obj, finished] = py::bind("Search.advance()", names, 1, 1, args, nargs, kwnames);
    bool restart = false;
    if (finished) {
        if (!PyUnicode_Check(finished)) throw_argument_not_instance(finished, "str", "finished");
        if (PyUnicode_CompareWithASCIIString(finished, "restart") == 0) restart = true;
        else if (PyUnicode_CompareWithASCIIString(finished, "stop") != 0)
            throw PyError(PyExc_ValueError, "finished must be 'stop' or 'restart'");
    }
    np();
    return with_search<Access::Exclusive>(self, [&](auto &v) {
        auto &s = v.search;
        if (s.pending()) throw PyError(PyExc_RuntimeError, "advance() was called between select() and expand()");
        Ref a = Ref::steal(PyArray_FromAny(actions_obj, PyArray_DescrFromType(NPY_INT64), 1, 1,
                                           NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
        if (!a) throw_argument_error("actions");
        auto *arr = reinterpret_cast<PyArrayObject *>(a.get());
        if (PyArray_DIM(arr, 0) != static_cast<npy_intp>(s.count()))
            throw PyError(PyExc_ValueError, "argument 'actions': expected shape " +
                                                shape_text({static_cast<npy_intp>(s.count())}) + ", got (" +
                                                std::to_string(PyArray_DIM(arr, 0)) + ",)");
        const auto *cols = static_cast<const int64_t *>(PyArray_DATA(arr));
        // Every action is checked before any tree moves.
        for (std::size_t t = 0; t < s.count(); ++t) {
            const int64_t c = cols[t];
            const bool ok = s.stopped(t) ? c == -1
                                         : c >= 0 && c < static_cast<int64_t>(s.width()) &&
                                               (s.root_legal(t) >> c & 1);
            if (!ok)
                throw PyError(PyExc_ValueError, "illegal action " + std::to_string(c) + " in game " + std::to_string(t));
        }
        for (std::size_t t = 0; t < s.count(); ++t)
            if (cols[t] >= 0) s.advance(t, static_cast<unsigned>(cols[t]), restart);
        v.offsets.clear();
        return py_none();
    });
}

Ref search_count(PyObject *self) {
    return check(PyLong_FromSize_t(with_search<Access::Shared>(self, [](auto &v) { return v.search.count(); })));
}

Ref search_repr(PyObject *self) {
    return py_str(with_search<Access::Shared>(self, [](auto &v) {
        const auto &c = v.search.config();
        return std::string("Search(games=") + std::to_string(v.search.count()) + ", width=" +
               std::to_string(v.search.width()) + ", height=" + std::to_string(v.search.height()) +
               ", simulations=" + std::to_string(c.simulations) + ", algorithm='" +
               (c.algorithm == SearchAlgorithm::Puct ? "puct" : "gumbel") + "', threads=" +
               std::to_string(v.threads) + ")";
    }));
}

// ---- self-play with the search ----

/// Plays `count` games from the empty board, all at once, one search per game
/// and move; returns their version 2 records in game order.
template <int NW>
Records play_with_search(SearchValue<NW> &v, PyObject *evaluate, uint64_t count, unsigned width, unsigned height,
                         uint64_t temperature_moves, PyObject *progress) {
    TreeSearch<NW> &s = v.search;
    std::vector<Records> games(count, Records::make(width, height, 2));
    std::vector<std::vector<uint8_t>> columns(count);
    std::vector<GameRng> rngs(count);
    for (uint64_t g = 0; g < count; ++g) rngs[g] = GameRng::for_game(s.config().seed ^ 0x5eed5eedu, g);
    uint64_t finished = 0;
    std::vector<uint16_t> dist(width);
    while (finished < count) {
        run_search(v, evaluate);
        for (uint64_t g = 0; g < count; ++g) {
            if (s.stopped(g)) continue;
            s.distribution(g, dist.data());
            const double temperature = columns[g].size() < temperature_moves ? 1.0 : 0.0;
            const int action = s.sample_action(g, temperature, rngs[g]);
            // A copy: advance() below replaces the tree's root.
            const SearchPosition<NW> root = s.tree(g).root;
            append_search_record(root, columns[g], dist.data(), static_cast<float>(s.root_value(g)),
                                 static_cast<unsigned>(action), static_cast<uint32_t>(g), games[g]);
            SearchPosition<NW> after = root;
            const int result = after.play(static_cast<unsigned>(action), BoardGeometry<NW>::make(width, height));
            columns[g].push_back(static_cast<uint8_t>(action));
            s.advance(g, static_cast<unsigned>(action), false);
            if (result != 0) {
                finish_search_game(games[g], 0, result == 1 ? (root.yellow_moves ? -1 : 1) : 0);
                ++finished;
            }
        }
        if (PyErr_CheckSignals() < 0) throw_error_already_set();
        if (progress) check(PyObject_CallOneArg(progress, py_ulong(finished).get()));
    }
    Records out = Records::make(width, height, 2);
    for (const Records &r : games) out.append(r);
    return out;
}

Ref self_play_search(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 19> names{"games", "width", "height", "evaluate",
                                                        GRAVLINE_SEARCH_KEYWORDS, "temperature_moves", "progress"};
    const auto a = py::bind("self_play_search()", names, 3, 5, args, nargs, kwnames);
    const uint64_t count = to_u64(a[0], "games");
    if (count > (uint64_t{1} << 24)) throw PyError(PyExc_ValueError, "games must be at most 2**24");
    const auto [width, height] = validate_board_dimensions(to_u64(a[1], "width"), to_u64(a[2], "height"));
    PyObject *evaluate = a[3];
    if (!PyCallable_Check(evaluate) &&
        !(PyUnicode_Check(evaluate) && PyUnicode_CompareWithASCIIString(evaluate, "rollout") == 0))
        throw PyError(PyExc_TypeError, "evaluate must be callable or 'rollout'");
    const auto [c, threads] = config_arg(config_slots(a, 4));
    const uint64_t temperature_moves = u64_or(a[17], "temperature_moves", 8);
    PyObject *progress = a[18] == Py_None ? nullptr : a[18];
    if (progress && !PyCallable_Check(progress)) throw PyError(PyExc_TypeError, "progress must be callable or None");
    np();
    if (count == 0) return new_records(Records::make(width, height, 2));
    return with_word_count(words_for(width, height), [&](auto n) {
        constexpr int NW = n.value;
        std::vector<Game<NW>> roots(count, Game<NW>::make(width, height));
        std::unique_ptr<WorkerPool> pool;
        if (threads > 1) pool = std::make_unique<WorkerPool>(threads - 1);
        SearchValue<NW> v{TreeSearch<NW>::make(roots, c), threads, std::move(pool), {}, Ref()};
        return new_records(play_with_search(v, evaluate, count, width, height, temperature_moves, progress));
    });
}

PyMethodDef self_play_search_def = {
    "self_play_search", as_cfunction(fastcall<self_play_search>), METH_FASTCALL | METH_KEYWORDS,
    "self_play_search(games, width, height, *, evaluate, simulations, algorithm='puct', leaves_per_step=1, "
    "c_puct_init=1.25, c_puct_base=19652, dirichlet_alpha=0.3, dirichlet_fraction=0.25, gumbel_samples=16, "
    "gumbel_scale=1.0, c_visit=50.0, c_scale=1.0, seed=0, threads=1, temperature_moves=8, progress=None)\n--\n\n"
    "Plays games from the empty board with a search per move and returns their version 2\n"
    "Records: the search's distribution as the policy target and its root value."};

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef search_methods[] = {
    {"select", as_cfunction(fastcall<search_select>), kFast,
     "select($self, out=None)\n--\n\nGathers this step's leaves: (planes float32 (L, 17, H, W), mask bool (L, W))."},
    {"expand", as_cfunction(fastcall<search_expand>), kFast,
     "expand($self, priors, values)\n--\n\nThe leaves' logits (L, W) and values (L,) for the side to move, backed up."},
    {"run", as_cfunction(fastcall<search_run>), kFast,
     "run($self, evaluate)\n--\n\nRuns the search to its end: evaluate(planes, mask) -> (priors, values), or 'rollout'."},
    {"done", noargs<search_done>, METH_NOARGS, "done($self)\n--\n\nWhether every tree has run its simulations."},
    {"visit_counts", noargs<search_visit_counts>, METH_NOARGS,
     "visit_counts($self)\n--\n\nThe root children's visits (uint32, (games, width))."},
    {"policy", as_cfunction(fastcall<search_policy>), kFast,
     "policy($self, temperature=1.0)\n--\n\nThe search's distribution over columns (float32, (games, width))."},
    {"root_values", noargs<search_root_values>, METH_NOARGS,
     "root_values($self)\n--\n\nEach root's value for its side to move (float32)."},
    {"best_actions", noargs<search_best_actions>, METH_NOARGS,
     "best_actions($self)\n--\n\nThe column to play at each root (int64; -1 for a stopped tree)."},
    {"sample_actions", as_cfunction(fastcall<search_sample_actions>), kFast,
     "sample_actions($self, temperature=1.0, seed=0)\n--\n\nA column per root drawn from policy(temperature)."},
    {"advance", as_cfunction(fastcall<search_advance>), kFast,
     "advance($self, actions, *, finished='stop')\n--\n\nEach root plays its action, keeping that child's subtree."},
    {"stopped", noargs<search_stopped>, METH_NOARGS,
     "stopped($self)\n--\n\nWhether each tree's game ended (bool)."},
    {"count", noargs<search_count>, METH_NOARGS, "count($self)\n--\n\nThe number of trees."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot search_slots[] = {
    {Py_tp_doc, const_cast<char *>(
                    "Search(games, *, simulations, algorithm='puct', leaves_per_step=1, c_puct_init=1.25, "
                    "c_puct_base=19652, dirichlet_alpha=0.3, dirichlet_fraction=0.25, gumbel_samples=16, "
                    "gumbel_scale=1.0, c_visit=50.0, c_scale=1.0, seed=0, threads=1)\n--\n\n"
                    "A tree search per root position, its leaves evaluated in one array per step.")},
    {Py_tp_new, reinterpret_cast<void *>(new_slot<search_new>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(PySearch::dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(unary<search_repr>)},
    {Py_tp_methods, search_methods},
    {0, nullptr},
};

PyType_Spec search_spec = var_spec<PySearch>("drevik_gravline_batch.Search", search_slots);

PyTypeObject *search_type() { return search_class.get([] { return make_type(search_spec); }); }

}  // namespace

void add_search(PyObject *module) {
    module_add(module, "Search", type_ref(search_type()));
    module_add(module, "self_play_search", function(module, self_play_search_def));
}

}  // namespace gravline::py

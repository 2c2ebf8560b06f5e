// The Solver class: exact scores of positions of one board size, its
// transposition table kept between calls, searches run without the
// interpreter lock, many positions over threads; and SolverBudgetExceeded.
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "../../batch.h"
#include "../../solver.h"
#include "../numpy_util.h"
#include "../objects.h"
#include "batch_module.h"

namespace gravline::py {
namespace {

constexpr const char *kModule = "drevik_gravline_batch";
constexpr uint64_t kMaxThreads = 256;

/// What a Solver object owns. The table is shared by every search of the
/// object, each of which makes its own per-thread searcher, so searches of
/// one object may run at once (the table takes torn entries for misses).
struct SolverCore {
    unsigned width, height;
    TranspositionTable table;
    unsigned threads;
    std::unique_ptr<WorkerPool> pool;
    uint64_t max_nodes;                 // the default budget, UINT64_MAX for none
    std::optional<double> time_limit;   // seconds, or none
    std::atomic<uint64_t> nodes{0};     // nodes of the last search that finished or stopped

    SolverCore(unsigned w, unsigned h, std::size_t bytes, unsigned t, uint64_t mn, std::optional<double> tl)
        : width(w), height(h), table(bytes), threads(t), max_nodes(mn), time_limit(tl) {}
};

struct PySolver {
    PyObject_HEAD
    std::atomic<int64_t> borrow;  // shared by searches, exclusive for clear()
    SolverCore *core;             // owned; null only in a half-built object
};

Lazy<PyTypeObject> solver_class;
PyTypeObject *solver_type();
// The exception class, created at registration and kept for the process.
PyObject *budget_error = nullptr;

PySolver *solver_of(PyObject *self) {
    check_receiver(self, solver_class, solver_type, "Solver");
    return reinterpret_cast<PySolver *>(self);
}

const NumpyApi &np() { return numpy_api(kModule); }

// ---- arguments ----

uint64_t max_nodes_arg(PyObject *o, uint64_t fallback) {
    if (!o) return fallback;
    if (o == Py_None) return UINT64_MAX;
    const uint64_t n = to_u64(o, "max_nodes");
    if (n == 0) throw PyError(PyExc_ValueError, "max_nodes must be at least 1");
    return n;
}

std::optional<double> time_limit_arg(PyObject *o, std::optional<double> fallback) {
    if (!o) return fallback;
    if (o == Py_None) return std::nullopt;
    const double t = PyFloat_AsDouble(o);
    if (t == -1.0 && PyErr_Occurred()) throw_argument_error("time_limit");
    if (!(t > 0) || !std::isfinite(t)) throw PyError(PyExc_ValueError, "time_limit must be a positive number of seconds");
    return t;
}

bool flag_arg(PyObject *o, const char *name) {
    if (!o) return false;
    const int v = PyObject_IsTrue(o);
    if (v < 0) throw_argument_error(name);
    return v;
}

/// The budget of one call: its own keywords, else the solver's.
SolveBudget budget_of(const SolverCore &c, PyObject *max_nodes, PyObject *time_limit) {
    SolveBudget b;
    b.max_nodes = max_nodes_arg(max_nodes, c.max_nodes);
    if (const std::optional<double> t = time_limit_arg(time_limit, c.time_limit))
        b.deadline = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(*t));
    return b;
}

[[noreturn, gnu::cold]] void throw_budget(uint64_t nodes) {
    throw PyError(budget_error, "the search budget ran out after " + std::to_string(nodes) + " nodes");
}

/// The search's interrupt test on the calling thread: with the lock taken
/// back, a pending signal (Ctrl-C) stops the search and its exception is kept
/// in `signal` to be raised once the lock is held for good.
std::function<bool()> signal_check(Unlocked &unlocked, std::optional<PyError> &signal) {
    return [&unlocked, &signal] {
        return unlocked.locked([&] {
            if (PyErr_CheckSignals() < 0) {
                signal.emplace(PyError::fetch());
                return true;
            }
            return false;
        });
    };
}

/// The search position of a Game argument of the solver's size, read under
/// the game's borrow; ValueError for another size or a position that cannot
/// be searched (over, or an edited board no game reaches).
template <int NW>
typename Solver<NW>::Position position_arg(PyObject *o, const SolverCore &c, const char *name) {
    PyTypeObject *game = require_type(game_type, "Game");
    if (!PyObject_TypeCheck(o, game)) throw_argument_not_instance(o, "Game", name);
    PyGame *g = PyGame::from(o);
    SharedBorrow borrow(g->borrow);
    if (g->nw != NW) throw PyError(PyExc_ValueError, "the game's size differs from the solver's");
    const Game<NW> &v = g->as<NW>();
    if (v.width() != c.width || v.height() != c.height)
        throw PyError(PyExc_ValueError, "the game is " + std::to_string(v.width()) + "x" +
                                            std::to_string(v.height()) + " but the solver solves " +
                                            std::to_string(c.width) + "x" + std::to_string(c.height));
    if (const char *why = Solver<NW>::invalid_reason(v))
        throw PyError(PyExc_ValueError, std::string("cannot solve this position: ") + why);
    return Solver<NW>::position_of(v);
}

/// Runs f(core, NW constant) under a shared borrow of the solver.
template <class F>
Ref with_solver(PyObject *self, F &&f) {
    PySolver *s = solver_of(self);
    SharedBorrow borrow(s->borrow);
    SolverCore &c = *s->core;
    return with_word_count(words_for(c.width, c.height), [&](auto n) { return f(c, n); });
}

// ---- the class ----

Ref solver_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static constexpr std::array<const char *, 6> names{"width", "height", "table_mb", "threads", "max_nodes",
                                                       "time_limit"};
    const auto a = py::bind("Solver.__new__()", names, 2, 2, args, kwargs);
    const auto [width, height] = validate_board_dimensions(to_u64(a[0], "width"), to_u64(a[1], "height"));
    const uint64_t mb = u64_or(a[2], "table_mb", 64);
    if (mb < 1) throw PyError(PyExc_ValueError, "table_mb must be at least 1");
    // A table beyond the machine's memory can only fail, or push it into swap.
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    const uint64_t memory = pages > 0 && page > 0 ? uint64_t(pages) * uint64_t(page) : UINT64_MAX;
    if (mb > (memory >> 20))
        throw PyError(PyExc_ValueError, "table_mb=" + std::to_string(mb) + " exceeds the machine's memory (" +
                                            std::to_string(memory >> 20) + " MB)");
    const uint64_t threads = u64_or(a[3], "threads", 1);
    if (threads < 1 || threads > kMaxThreads)
        throw PyError(PyExc_ValueError, "threads must be between 1 and " + std::to_string(kMaxThreads));
    const uint64_t max_nodes = max_nodes_arg(a[4], UINT64_MAX);
    const std::optional<double> time_limit = time_limit_arg(a[5], std::nullopt);

    auto core = std::make_unique<SolverCore>(width, height, static_cast<std::size_t>(mb) << 20,
                                             static_cast<unsigned>(threads), max_nodes, time_limit);
    if (threads > 1) core->pool = std::make_unique<WorkerPool>(static_cast<unsigned>(threads) - 1);
    PyObject *o = type->tp_alloc(type, 0);
    if (!o) throw_error_already_set();
    auto *s = reinterpret_cast<PySolver *>(o);
    new (&s->borrow) std::atomic<int64_t>(0);
    s->core = core.release();
    return Ref::steal(o);
}

void solver_dealloc(PyObject *o) noexcept {
    auto *s = reinterpret_cast<PySolver *>(o);
    delete s->core;
    PyTypeObject *type = Py_TYPE(o);
    type->tp_free(o);
    Py_DECREF(type);
}

Ref solver_score(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 4> names{"game", "weak", "max_nodes", "time_limit"};
    const auto a = py::bind("Solver.score()", names, 1, 1, args, nargs, kwnames);
    return with_solver(self, [&](SolverCore &c, auto n) {
        constexpr int NW = decltype(n)::value;
        const bool weak = flag_arg(a[1], "weak");
        SolveBudget budget = budget_of(c, a[2], a[3]);
        const auto p = position_arg<NW>(a[0], c, "game");
        std::optional<int> r;
        uint64_t nodes;
        std::optional<PyError> signal;
        {
            Unlocked unlocked;
            budget.interrupted = signal_check(unlocked, signal);
            Solver<NW> solver(c.width, c.height, c.table);
            r = solver.solve(p, weak, budget);
            nodes = solver.nodes();
        }
        c.nodes.store(nodes, std::memory_order_relaxed);
        if (signal) throw std::move(*signal);
        if (!r) throw_budget(nodes);
        return py_long(*r);
    });
}

/// Each column's score of a game, or the budget error.
template <int NW>
std::vector<int> column_scores(SolverCore &c, PyObject *game, PyObject *max_nodes, PyObject *time_limit) {
    SolveBudget budget = budget_of(c, max_nodes, time_limit);
    const auto p = position_arg<NW>(game, c, "game");
    std::vector<int> out(c.width);
    bool done;
    uint64_t nodes;
    std::optional<PyError> signal;
    {
        Unlocked unlocked;
        budget.interrupted = signal_check(unlocked, signal);
        Solver<NW> solver(c.width, c.height, c.table);
        done = solver.move_scores(p, out.data(), budget);
        nodes = solver.nodes();
    }
    c.nodes.store(nodes, std::memory_order_relaxed);
    if (signal) throw std::move(*signal);
    if (!done) throw_budget(nodes);
    return out;
}

Ref solver_move_scores(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 3> names{"game", "max_nodes", "time_limit"};
    const auto a = py::bind("Solver.move_scores()", names, 1, 1, args, nargs, kwnames);
    np();
    return with_solver(self, [&](SolverCore &c, auto n) {
        const std::vector<int> s = column_scores<decltype(n)::value>(c, a[0], a[1], a[2]);
        Ref result = new_array(NPY_INT32, {static_cast<npy_intp>(c.width)});
        auto *out = static_cast<int32_t *>(array_data(result));
        for (unsigned i = 0; i < c.width; ++i) out[i] = s[i];
        return result;
    });
}

Ref solver_best_moves(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 3> names{"game", "max_nodes", "time_limit"};
    const auto a = py::bind("Solver.best_moves()", names, 1, 1, args, nargs, kwnames);
    return with_solver(self, [&](SolverCore &c, auto n) {
        const std::vector<int> s = column_scores<decltype(n)::value>(c, a[0], a[1], a[2]);
        const int best = *std::max_element(s.begin(), s.end());
        Ref list = check(PyList_New(0));
        for (unsigned i = 0; i < c.width; ++i)
            if (s[i] == best && PyList_Append(list.get(), py_long(i).get()) < 0) throw_error_already_set();
        return list;
    });
}

/// The games of a scores() argument: a GameBatch (through its game(i)) or a
/// sequence of Game objects; each item holds a reference of our own.
std::vector<Ref> games_of(PyObject *o) {
    std::vector<Ref> games;
    if (!PySequence_Check(o) && PyObject_HasAttrString(o, "game") && PyObject_HasAttrString(o, "count")) {
        Ref count_obj = check(PyObject_CallMethod(o, "count", nullptr));
        const Py_ssize_t count = PyLong_AsSsize_t(count_obj.get());
        if (count == -1 && PyErr_Occurred()) throw_error_already_set();
        games.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) games.push_back(check(PyObject_CallMethod(o, "game", "n", i)));
        return games;
    }
    Ref fast = Ref::steal(PySequence_Fast(o, "expected a GameBatch or a sequence of Game objects"));
    if (!fast) throw_argument_error("games");
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
    PyObject **items = PySequence_Fast_ITEMS(fast.get());
    games.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) games.push_back(Ref::borrow(items[i]));
    return games;
}

Ref solver_scores(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 4> names{"games", "weak", "max_nodes", "time_limit"};
    const auto a = py::bind("Solver.scores()", names, 1, 1, args, nargs, kwnames);
    np();
    return with_solver(self, [&](SolverCore &c, auto n) {
        constexpr int NW = decltype(n)::value;
        const bool weak = flag_arg(a[1], "weak");
        const uint64_t max_nodes = max_nodes_arg(a[2], c.max_nodes);
        const std::optional<double> time_limit = time_limit_arg(a[3], c.time_limit);
        const std::vector<Ref> games = games_of(a[0]);
        std::vector<typename Solver<NW>::Position> positions;
        positions.reserve(games.size());
        for (const Ref &g : games) positions.push_back(position_arg<NW>(g.get(), c, "games"));
        Ref result = new_array(NPY_INT32, {static_cast<npy_intp>(games.size())});
        auto *out = static_cast<int32_t *>(array_data(result));
        std::atomic<bool> ran_out{false}, stop{false};
        std::atomic<uint64_t> nodes{0};
        std::optional<PyError> signal;
        {
            Unlocked unlocked;
            // Only the calling thread may look for Ctrl-C (at most every
            // 20 ms: each look takes the lock back); it tells the workers
            // through `stop`.
            const std::thread::id caller = std::this_thread::get_id();
            const std::function<bool()> check_signal = signal_check(unlocked, signal);
            auto looked = std::chrono::steady_clock::now();
            const std::function<bool()> interrupted = [&] {
                if (std::this_thread::get_id() == caller && !stop.load(std::memory_order_relaxed)) {
                    const auto now = std::chrono::steady_clock::now();
                    if (now - looked >= std::chrono::milliseconds(20)) {
                        looked = now;
                        if (check_signal()) stop.store(true, std::memory_order_relaxed);
                    }
                }
                return stop.load(std::memory_order_relaxed);
            };
            auto work = [&](std::size_t lo, std::size_t hi) {
                Solver<NW> solver(c.width, c.height, c.table);
                for (std::size_t i = lo; i < hi && !ran_out.load(std::memory_order_relaxed) && !interrupted(); ++i) {
                    SolveBudget budget;
                    budget.interrupted = interrupted;
                    budget.max_nodes = max_nodes;
                    if (time_limit)
                        budget.deadline = std::chrono::steady_clock::now() +
                                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                              std::chrono::duration<double>(*time_limit));
                    const std::optional<int> r = solver.solve(positions[i], weak, budget);
                    nodes.fetch_add(solver.nodes(), std::memory_order_relaxed);
                    if (!r) ran_out.store(true, std::memory_order_relaxed);
                    else out[i] = *r;
                }
            };
            if (c.pool) c.pool->run(positions.size(), 1, work);
            else work(0, positions.size());
        }
        c.nodes.store(nodes.load(), std::memory_order_relaxed);
        if (signal) throw std::move(*signal);
        if (ran_out.load()) throw_budget(nodes.load());
        return result;
    });
}

Ref solver_clear(PyObject *self) {
    PySolver *s = solver_of(self);
    ExclusiveBorrow borrow(s->borrow);
    s->core->table.clear();
    return py_none();
}

Ref solver_width(PyObject *self) { return with_solver(self, [](SolverCore &c, auto) { return py_long(c.width); }); }
Ref solver_height(PyObject *self) { return with_solver(self, [](SolverCore &c, auto) { return py_long(c.height); }); }
Ref solver_nodes(PyObject *self) {
    return with_solver(self, [](SolverCore &c, auto) { return py_ulong(c.nodes.load(std::memory_order_relaxed)); });
}
Ref solver_table_bytes(PyObject *self) {
    return with_solver(self, [](SolverCore &c, auto) { return py_ulong(c.table.bytes()); });
}

Ref solver_repr(PyObject *self) {
    return with_solver(self, [](SolverCore &c, auto) {
        return py_str("Solver(width=" + std::to_string(c.width) + ", height=" + std::to_string(c.height) +
                      ", table_mb=" + std::to_string(c.table.bytes() >> 20) + ", threads=" +
                      std::to_string(c.threads) + ")");
    });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef solver_methods[] = {
    {"score", as_cfunction(fastcall<solver_score>), kFast,
     "score($self, game, *, weak=False, max_nodes=<solver's>, time_limit=<solver's>)\n--\n\n"
     "The exact score for the side to move: 0 a draw, k > 0 a win with its k-th last piece,\n"
     "-k a loss to the opponent's k-th last piece. weak=True gives only 1, 0 or -1."},
    {"move_scores", as_cfunction(fastcall<solver_move_scores>), kFast,
     "move_scores($self, game, *, max_nodes=<solver's>, time_limit=<solver's>)\n--\n\n"
     "Each column's score for the side to move as an int32 array (width,); FULL_COLUMN\n"
     "for a full column."},
    {"best_moves", as_cfunction(fastcall<solver_best_moves>), kFast,
     "best_moves($self, game, *, max_nodes=<solver's>, time_limit=<solver's>)\n--\n\n"
     "The columns whose move keeps the exact score, left to right."},
    {"scores", as_cfunction(fastcall<solver_scores>), kFast,
     "scores($self, games, *, weak=False, max_nodes=<solver's>, time_limit=<solver's>)\n--\n\n"
     "score() of each game of a GameBatch or a sequence of Game objects, over the solver's\n"
     "threads, as an int32 array; the budget applies to each position."},
    {"clear", noargs<solver_clear>, METH_NOARGS, "clear($self)\n--\n\nEmpties the transposition table."},
    {"width", noargs<solver_width>, METH_NOARGS, "width($self)\n--\n\nThe board width."},
    {"height", noargs<solver_height>, METH_NOARGS, "height($self)\n--\n\nThe board height."},
    {"nodes", noargs<solver_nodes>, METH_NOARGS,
     "nodes($self)\n--\n\nNodes searched by the last call that finished or ran out of budget."},
    {"table_bytes", noargs<solver_table_bytes>, METH_NOARGS,
     "table_bytes($self)\n--\n\nThe transposition table's size in bytes (a power of two)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot solver_slots[] = {
    {Py_tp_doc, const_cast<char *>(
                    "Solver(width, height, *, table_mb=64, threads=1, max_nodes=None, time_limit=None)\n--\n\n"
                    "An exact solver for positions of one board size, with a transposition table kept\n"
                    "between calls. A search that passes max_nodes nodes or time_limit seconds raises\n"
                    "SolverBudgetExceeded and leaves the solver usable.")},
    {Py_tp_new, reinterpret_cast<void *>(new_slot<solver_new>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(solver_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(unary<solver_repr>)},
    {Py_tp_methods, solver_methods},
    {0, nullptr},
};

PyType_Spec solver_spec = {"drevik_gravline_batch.Solver", sizeof(PySolver), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, solver_slots};

PyTypeObject *solver_type() { return solver_class.get([] { return make_type(solver_spec); }); }

}  // namespace

void add_solver(PyObject *module) {
    if (!budget_error) {
        budget_error = PyErr_NewExceptionWithDoc(
            "drevik_gravline_batch.SolverBudgetExceeded",
            "A solver search passed its max_nodes or time_limit; the solver stays usable.", PyExc_RuntimeError,
            nullptr);
        if (!budget_error) throw_error_already_set();
    }
    module_add(module, "SolverBudgetExceeded", Ref::borrow(budget_error));
    module_add(module, "Solver", type_ref(solver_type()));
    module_add(module, "FULL_COLUMN", py_long(kFullColumnScore));
}

}  // namespace gravline::py

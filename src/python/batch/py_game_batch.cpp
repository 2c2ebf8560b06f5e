// The GameBatch class and encode_games: many games of one size stepped,
// observed and hashed at once, results written straight into NumPy arrays.
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include <unistd.h>

#include "../../batch.h"
#include "../numpy_util.h"
#include "../objects.h"
#include "batch_module.h"

namespace gravline::py {
namespace {

constexpr const char *kModule = "drevik_gravline_batch";

/// The interpreter's raw allocator, which needs no lock and which tracemalloc
/// sees, for the games' storage.
template <class T>
struct RawAllocator {
    using value_type = T;
    RawAllocator() = default;
    template <class U>
    RawAllocator(const RawAllocator<U> &) {}
    T *allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(T)) throw std::bad_alloc();
        void *p = PyMem_RawMalloc(n * sizeof(T));
        if (!p) throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, std::size_t) { PyMem_RawFree(p); }
    template <class U>
    bool operator==(const RawAllocator<U> &) const { return true; }
};

/// What a GameBatch object holds: the games, the thread count of its calls
/// and, for more than one, the workers beside the calling thread.
template <int NW>
struct BatchValue {
    Batch<NW, RawAllocator> games;
    unsigned threads;
    std::unique_ptr<WorkerPool> pool;
};

using PyGameBatch = VarObject<BatchValue>;

// Created once, at registration, and published by Lazy; immutable from then on.
Lazy<PyTypeObject> batch_class;
PyTypeObject *batch_type();

PyGameBatch *batch_of(PyObject *self) {
    check_receiver(self, batch_class, batch_type, "GameBatch");
    return PyGameBatch::from(self);
}

const NumpyApi &np() { return numpy_api(kModule); }

// ---- work on many games ----

// Work is counted in units of about a nanosecond on one core: a float of
// planes written is one, a game stepped about fifteen, a legal-mask row three.
constexpr std::size_t kStepUnits = 16;
constexpr std::size_t kMaskUnits = 4;
/// Work below which a call keeps the interpreter lock: releasing and taking
/// it back would cost more than the work.
constexpr std::size_t kReleaseUnits = 4096;
/// Work in one chunk handed to a thread: far more than handing it over costs.
constexpr std::size_t kUnitsPerChunk = 65536;
constexpr uint64_t kMaxThreads = 1024;

/// Runs f(begin, end) over `count` games of `units` work each: on the calling
/// thread with the lock held for small work, else with the lock released and
/// the games shared with the pool's workers, if there are any. Only plain
/// engine code runs in f.
template <class F>
void run_games(std::size_t count, std::size_t units, WorkerPool *pool, F &&f) {
    const std::size_t work = count * units;
    if (work < kReleaseUnits) return f(std::size_t{0}, count);
    Unlocked unlocked;
    if (!pool) return f(std::size_t{0}, count);
    pool->run(count, std::max<std::size_t>(1, kUnitsPerChunk / std::max<std::size_t>(units, 1)), f);
}

// ---- arguments ----

unsigned threads_arg(PyObject *o) {
    if (!o) return 1;
    const uint64_t t = to_u64(o, "threads");
    if (t < 1 || t > kMaxThreads)
        throw PyError(PyExc_ValueError, "threads must be between 1 and " + std::to_string(kMaxThreads));
    return static_cast<unsigned>(t);
}

/// A 1-D array argument of `count` elements: an ndarray as it is, anything
/// else as NumPy converts it, without a dtype asked for.
Ref vector_arg(PyObject *o, const char *name, npy_intp count) {
    np();
    Ref a = PyArray_Check(o) ? Ref::borrow(o) : Ref::steal(PyArray_FromAny(o, nullptr, 0, 0, 0, nullptr));
    if (!a) throw_argument_error(name);
    auto *arr = reinterpret_cast<PyArrayObject *>(a.get());
    if (PyArray_NDIM(arr) != 1 || PyArray_DIM(arr, 0) != count) {
        std::string got = "(";
        for (int i = 0; i < PyArray_NDIM(arr); ++i) got += (i ? ", " : "") + std::to_string(PyArray_DIM(arr, i));
        got += PyArray_NDIM(arr) == 1 ? ",)" : ")";
        throw PyError(PyExc_ValueError, std::string("argument '") + name + "': expected shape " +
                                            shape_text({count}) + ", got " + got);
    }
    return a;
}

std::string dtype_text(PyArrayObject *a) {
    // Held for the call: a structured dtype's text is made by Python code,
    // which may give the array another dtype and so drop this one.
    Ref held = Ref::borrow(reinterpret_cast<PyObject *>(PyArray_DESCR(a)));
    Ref s = check(PyObject_Str(held.get()));
    const char *p = PyUnicode_AsUTF8(s.get());
    if (!p) throw_error_already_set();
    return p;
}

/// Game index `o` of a batch of `count`, negative ones counted from the end.
std::size_t index_arg(PyObject *o, std::size_t count) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) throw_argument_error("i");
    const Py_ssize_t i = PyLong_AsSsize_t(index.get());
    if (i == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_error_already_set();
        PyErr_Clear();
        throw PyError(PyExc_IndexError, "game index out of range");
    }
    const auto n = static_cast<Py_ssize_t>(count);
    if (i < -n || i >= n) throw PyError(PyExc_IndexError, "game index out of range");
    return static_cast<std::size_t>(i < 0 ? i + n : i);
}

/// The items of a sequence of games, each checked to be a Game, with a
/// reference of our own to each: the sequence may change while they are used.
std::vector<Ref> games_arg(PyObject *o, const char *who) {
    PyTypeObject *game = require_type(game_type, "Game");
    Ref given = Ref::steal(PySequence_Fast(o, "expected a sequence of Game objects"));
    if (!given) throw_argument_error("games");
    // A tuple of our own: a list given may be changed by another thread (with
    // no interpreter lock) while its items are read.
    Ref fast = check(PySequence_Tuple(given.get()));
    const Py_ssize_t n = PyTuple_GET_SIZE(fast.get());
    if (n == 0) throw PyError(PyExc_ValueError, std::string(who) + " needs at least one game");
    std::vector<Ref> games;
    games.reserve(static_cast<std::size_t>(n));
    PyObject **items = PySequence_Fast_ITEMS(fast.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!PyObject_TypeCheck(items[i], game)) throw_argument_not_instance(items[i], "Game", "games");
        games.push_back(Ref::borrow(items[i]));
    }
    return games;
}

/// Shared borrows of many games, all held until the end of the scope.
class GameBorrows {
    std::unique_ptr<std::optional<SharedBorrow>[]> borrows_;

public:
    explicit GameBorrows(const std::vector<Ref> &games)
        : borrows_(new std::optional<SharedBorrow>[games.size()]) {
        for (std::size_t i = 0; i < games.size(); ++i) borrows_[i].emplace(PyGame::from(games[i].get())->borrow);
    }
};

/// Width and height of a game, read under its borrow.
std::pair<unsigned, unsigned> game_size(PyObject *o) {
    return PyGame::from(o)->visit([](auto &g) { return std::pair{g.width(), g.height()}; });
}

/// The common size of borrowed games; ValueError when they differ.
std::pair<unsigned, unsigned> common_size(const std::vector<Ref> &games) {
    const auto size = game_size(games[0].get());
    for (const Ref &g : games)
        if (game_size(g.get()) != size) throw PyError(PyExc_ValueError, "all games must have the same size");
    return size;
}

/// The largest count of games whose storage fits both a signed size and the
/// machine's memory: each game takes two bit sets, its history, the move
/// count and the status byte.
template <int NW>
std::size_t max_games(std::size_t capacity) {
    using B = Batch<NW, RawAllocator>;
    const std::size_t per_game = 2 * sizeof(Bitboard<NW>) + capacity * sizeof(typename B::Cell) + 5;
    std::size_t limit = static_cast<std::size_t>(PY_SSIZE_T_MAX);
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page > 0 && static_cast<std::size_t>(pages) < limit / static_cast<std::size_t>(page))
        limit = static_cast<std::size_t>(pages) * static_cast<std::size_t>(page);
    return limit / per_game;
}

// ---- the class ----

template <int NW>
Ref create_batch(PyTypeObject *type, std::size_t count, unsigned width, unsigned height,
                 std::size_t capacity, unsigned threads) {
    // Storage beyond the machine's memory is refused before it is asked for:
    // such a request can only fail, and some allocators abort on it.
    if (count > max_games<NW>(std::max<std::size_t>(capacity, std::size_t{width} * height)))
        throw std::bad_alloc();
    // The workers start with the batch, while the interpreter lock is held, so
    // that no call has to start them on a shared borrow.
    std::unique_ptr<WorkerPool> pool;
    if (threads > 1) pool = std::make_unique<WorkerPool>(threads - 1);
    return PyGameBatch::create<NW>(
        type, BatchValue<NW>{Batch<NW, RawAllocator>::make(count, width, height, capacity), threads,
                             std::move(pool)});
}

Ref batch_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    static constexpr std::array<const char *, 4> names{"count", "width", "height", "threads"};
    const auto [count_arg, w_arg, h_arg, threads_obj] = bind("GameBatch.__new__()", names, 3, 3, args, kwargs);
    const uint64_t count = to_u64(count_arg, "count");
    const uint64_t w = to_u64(w_arg, "width");
    const uint64_t h = to_u64(h_arg, "height");
    const unsigned threads = threads_arg(threads_obj);
    const auto [width, height] = validate_board_dimensions(w, h);
    if (count < 1) throw PyError(PyExc_ValueError, "count must be at least 1");
    return with_word_count(words_for(width, height), [&](auto n) {
        return create_batch<n.value>(type, count, width, height, 0, threads);
    });
}

Ref batch_from_games(PyObject *cls, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 2> names{"games", "threads"};
    const auto [games_obj, threads_obj] = bind("GameBatch.from_games()", names, 1, 1, args, nargs, kwnames);
    const std::vector<Ref> games = games_arg(games_obj, "from_games");
    const unsigned threads = threads_arg(threads_obj);
    GameBorrows borrows(games);
    const auto [width, height] = common_size(games);
    return with_word_count(words_for(width, height), [&](auto n) {
        constexpr int NW = n.value;
        std::size_t capacity = 0;
        for (const Ref &g : games)
            capacity = std::max(capacity, Batch<NW>::capacity_for(PyGame::from(g.get())->as<NW>()));
        Ref batch = create_batch<NW>(reinterpret_cast<PyTypeObject *>(cls), games.size(), width, height,
                                     capacity, threads);
        auto &b = PyGameBatch::from(batch.get())->as<NW>().games;
        for (std::size_t i = 0; i < games.size(); ++i) b.assign(i, PyGame::from(games[i].get())->as<NW>());
        return batch;
    });
}

/// Runs f(games, threads) under a borrow of the receiver of kind A.
template <Access A, class F>
decltype(auto) with_batch(PyObject *self, F &&f) {
    PyGameBatch *b = batch_of(self);
    Borrow<A> borrow(b->borrow);
    return b->visit([&](auto &v) -> decltype(auto) { return f(v.games, v.threads, v.pool.get()); });
}

Ref batch_count(PyObject *self) {
    return check(PyLong_FromSize_t(with_batch<Access::Shared>(self, [](auto &g, unsigned, WorkerPool *) { return g.count(); })));
}
Ref batch_width(PyObject *self) {
    return py_long(with_batch<Access::Shared>(self, [](auto &g, unsigned, WorkerPool *) { return g.width(); }));
}
Ref batch_height(PyObject *self) {
    return py_long(with_batch<Access::Shared>(self, [](auto &g, unsigned, WorkerPool *) { return g.height(); }));
}

Ref batch_legal_mask(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"out"};
    const auto [out] = bind("GameBatch.legal_mask()", names, 1, 0, args, nargs, kwnames);
    np();
    return with_batch<Access::Shared>(self, [&](auto &g, unsigned, WorkerPool *pool) {
        const auto n = static_cast<npy_intp>(g.count());
        Ref result = result_array(out, "out", NPY_BOOL, {n, static_cast<npy_intp>(g.width())});
        auto *data = static_cast<uint8_t *>(array_data(result));
        run_games(g.count(), kMaskUnits, pool,
                  [&](std::size_t lo, std::size_t hi) { g.legal_mask(lo, hi, data); });
        return result;
    });
}

Ref batch_observe(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"out"};
    const auto [out] = bind("GameBatch.observe()", names, 1, 0, args, nargs, kwnames);
    np();
    return with_batch<Access::Shared>(self, [&](auto &g, unsigned, WorkerPool *pool) {
        Ref result = result_array(out, "out", NPY_FLOAT32,
                                  {static_cast<npy_intp>(g.count()), kSpatialInputPlanes,
                                   static_cast<npy_intp>(g.height()), static_cast<npy_intp>(g.width())});
        auto *data = static_cast<float *>(array_data(result));
        run_games(g.count(), kSpatialInputPlanes * g.cells(), pool,
                  [&](std::size_t lo, std::size_t hi) { g.observe(lo, hi, data); });
        return result;
    });
}

[[noreturn, gnu::cold]] void throw_illegal(std::size_t i, const std::string &action) {
    throw PyError(PyExc_ValueError, "illegal action " + action + " in game " + std::to_string(i));
}

/// Reads every action as a T, checks it against its game and writes the
/// column (or -1 for a skip) to `cols`; the first illegal one raises.
template <class T, class B>
void check_actions(const B &g, const char *data, npy_intp stride, int8_t *cols) {
    for (std::size_t i = 0; i < g.count(); ++i) {
        T v;
        std::memcpy(&v, data + static_cast<npy_intp>(i) * stride, sizeof v);
        if constexpr (std::is_signed_v<T>) {
            if (v == -1) {
                cols[i] = -1;
                continue;
            }
        }
        bool legal;
        if constexpr (std::is_signed_v<T>) legal = v >= 0 && g.is_legal(i, static_cast<uint64_t>(v));
        else legal = g.is_legal(i, v);
        if (!legal) [[unlikely]]
            throw_illegal(i, std::to_string(v));
        cols[i] = static_cast<int8_t>(v);
    }
}

template <class B>
void read_actions(const B &g, PyArrayObject *a, int8_t *cols) {
    const char *data = PyArray_BYTES(a);
    const npy_intp stride = PyArray_STRIDE(a, 0);
    switch (PyArray_TYPE(a)) {
    case NPY_BYTE: return check_actions<npy_byte>(g, data, stride, cols);
    case NPY_UBYTE: return check_actions<npy_ubyte>(g, data, stride, cols);
    case NPY_SHORT: return check_actions<npy_short>(g, data, stride, cols);
    case NPY_USHORT: return check_actions<npy_ushort>(g, data, stride, cols);
    case NPY_INT: return check_actions<npy_int>(g, data, stride, cols);
    case NPY_UINT: return check_actions<npy_uint>(g, data, stride, cols);
    case NPY_LONG: return check_actions<npy_long>(g, data, stride, cols);
    case NPY_ULONG: return check_actions<npy_ulong>(g, data, stride, cols);
    case NPY_LONGLONG: return check_actions<npy_longlong>(g, data, stride, cols);
    case NPY_ULONGLONG: return check_actions<npy_ulonglong>(g, data, stride, cols);
    }
    panic("actions of an unknown integer type");
}

Ref batch_step(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"actions"};
    const auto [actions_obj] = bind("GameBatch.step()", names, args, nargs, kwnames);
    np();
    return with_batch<Access::Exclusive>(self, [&](auto &g, unsigned, WorkerPool *pool) {
        const auto n = static_cast<npy_intp>(g.count());
        Ref actions = vector_arg(actions_obj, "actions", n);
        auto *a = reinterpret_cast<PyArrayObject *>(actions.get());
        if (!PyTypeNum_ISINTEGER(PyArray_TYPE(a)) || !PyArray_ISNBO(PyArray_DESCR(a)->byteorder))
            throw PyError(PyExc_TypeError,
                          "argument 'actions': expected an integer dtype, got " + dtype_text(a));
        // Results are made before any game moves, so a failure leaves every game as it was.
        Ref rewards = new_array(NPY_FLOAT32, {n});
        Ref done = new_array(NPY_BOOL, {n});
        std::vector<int8_t> cols(g.count());
        read_actions(g, a, cols.data());
        auto *r = static_cast<float *>(array_data(rewards));
        auto *d = static_cast<uint8_t *>(array_data(done));
        run_games(g.count(), kStepUnits * words_for(g.width(), g.height()), pool,
                  [&](std::size_t lo, std::size_t hi) { g.step(lo, hi, cols.data(), r, d); });
        return check(PyTuple_Pack(2, rewards.get(), done.get()));
    });
}

Ref batch_reset(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"mask"};
    const auto [mask_obj] = bind("GameBatch.reset()", names, 1, 0, args, nargs, kwnames);
    return with_batch<Access::Exclusive>(self, [&](auto &g, unsigned, WorkerPool *) {
        if (!mask_obj || mask_obj == Py_None) {
            for (std::size_t i = 0; i < g.count(); ++i) g.reset(i);
            return py_none();
        }
        Ref mask = vector_arg(mask_obj, "mask", static_cast<npy_intp>(g.count()));
        auto *a = reinterpret_cast<PyArrayObject *>(mask.get());
        if (PyArray_TYPE(a) != NPY_BOOL)
            throw PyError(PyExc_TypeError, "argument 'mask': expected dtype bool, got " + dtype_text(a));
        const char *data = PyArray_BYTES(a);
        const npy_intp stride = PyArray_STRIDE(a, 0);
        for (std::size_t i = 0; i < g.count(); ++i)
            if (data[static_cast<npy_intp>(i) * stride]) g.reset(i);
        return py_none();
    });
}

/// A new (count,) array of `typenum` with element i set to value(games, i).
template <class T, class F>
Ref per_game(PyObject *self, int typenum, F &&value) {
    np();
    return with_batch<Access::Shared>(self, [&](auto &g, unsigned, WorkerPool *) {
        Ref result = new_array(typenum, {static_cast<npy_intp>(g.count())});
        T *out = static_cast<T *>(array_data(result));
        for (std::size_t i = 0; i < g.count(); ++i) out[i] = value(g, i);
        return result;
    });
}

Ref batch_turns(PyObject *self) {
    return per_game<int8_t>(self, NPY_INT8, [](auto &g, std::size_t i) { return static_cast<int8_t>(g.turn(i)); });
}

Ref batch_is_over(PyObject *self) {
    return per_game<uint8_t>(self, NPY_BOOL, [](auto &g, std::size_t i) { return uint8_t{g.over(i)}; });
}

Ref batch_winners(PyObject *self) {
    return per_game<int8_t>(self, NPY_INT8, [](auto &g, std::size_t i) -> int8_t {
        const std::optional<GameOutcome> o = g.outcome(i);
        if (!o) return 0;
        const std::optional<Player> p = winner(*o);
        return p ? static_cast<int8_t>(*p) : 0;
    });
}

Ref batch_move_counts(PyObject *self) {
    return per_game<int32_t>(self, NPY_INT32, [](auto &g, std::size_t i) { return static_cast<int32_t>(g.moves(i)); });
}

Ref batch_state_hashes(PyObject *self) {
    return per_game<uint64_t>(self, NPY_UINT64, [](auto &g, std::size_t i) { return g.hash(i, HashFields::State); });
}

Ref batch_transposition_hashes(PyObject *self) {
    return per_game<uint64_t>(self, NPY_UINT64,
                              [](auto &g, std::size_t i) { return g.hash(i, HashFields::Transposition); });
}

Ref batch_game(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 1> names{"i"};
    const auto [i_obj] = bind("GameBatch.game()", names, args, nargs, kwnames);
    PyTypeObject *game = require_type(game_type, "Game");
    return with_batch<Access::Shared>(self, [&](auto &g, unsigned, WorkerPool *) {
        using B = std::remove_cvref_t<decltype(g)>;
        const std::size_t i = index_arg(i_obj, g.count());
        return PyGame::create<B::kWords>(game, g.game(i));
    });
}

Ref batch_repr(PyObject *self) {
    return py_str(with_batch<Access::Shared>(self, [](auto &g, unsigned threads, WorkerPool *) {
        return "GameBatch(count=" + std::to_string(g.count()) + ", width=" + std::to_string(g.width()) +
               ", height=" + std::to_string(g.height()) + ", threads=" + std::to_string(threads) + ")";
    }));
}

// ---- encode_games ----

Ref encode_games(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 2> names{"games", "out"};
    const auto [games_obj, out] = bind("encode_games()", names, 2, 1, args, nargs, kwnames);
    np();
    const std::vector<Ref> games = games_arg(games_obj, "encode_games");
    GameBorrows borrows(games);
    const auto [width, height] = common_size(games);
    const auto n = static_cast<npy_intp>(games.size());
    Ref result = result_array(out, "out", NPY_FLOAT32,
                              {n, kSpatialInputPlanes, static_cast<npy_intp>(height), static_cast<npy_intp>(width)});
    auto *data = static_cast<float *>(array_data(result));
    const std::size_t per_game = std::size_t{kSpatialInputPlanes} * width * height;
    // Each game's borrow is held, so no other thread changes it meanwhile.
    run_games(games.size(), per_game, nullptr, [&](std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i)
            PyGame::from(games[i].get())->visit([&](auto &g) { write_game_planes(g, data + i * per_game); });
    });
    return result;
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef batch_methods[] = {
    {"from_games", as_cfunction(fastcall<batch_from_games>), kFast | METH_CLASS,
     "from_games($type, games, *, threads=1)\n--\n\nA batch holding copies of the given games."},
    {"count", noargs<batch_count>, METH_NOARGS, "count($self)\n--\n\nThe number of games."},
    {"width", noargs<batch_width>, METH_NOARGS, "width($self)\n--\n\nThe board width."},
    {"height", noargs<batch_height>, METH_NOARGS, "height($self)\n--\n\nThe board height."},
    {"legal_mask", as_cfunction(fastcall<batch_legal_mask>), kFast,
     "legal_mask($self, out=None)\n--\n\nLegal columns as a bool array (count, width)."},
    {"observe", as_cfunction(fastcall<batch_observe>), kFast,
     "observe($self, out=None)\n--\n\nEvery game's planes as a float32 array (count, 17, height, width)."},
    {"step", as_cfunction(fastcall<batch_step>), kFast,
     "step($self, actions)\n--\n\nPlays one column per game (-1 skips); returns (rewards, done)."},
    {"reset", as_cfunction(fastcall<batch_reset>), kFast,
     "reset($self, mask=None)\n--\n\nStarts the selected games (all when None) again."},
    {"turns", noargs<batch_turns>, METH_NOARGS, "turns($self)\n--\n\nThe player to move in each game (int8)."},
    {"is_over", noargs<batch_is_over>, METH_NOARGS, "is_over($self)\n--\n\nWhether each game is over (bool)."},
    {"winners", noargs<batch_winners>, METH_NOARGS,
     "winners($self)\n--\n\nEach game's winner, 0 for a draw or a game running (int8)."},
    {"move_counts", noargs<batch_move_counts>, METH_NOARGS,
     "move_counts($self)\n--\n\nThe moves in each game's history (int32)."},
    {"state_hashes", noargs<batch_state_hashes>, METH_NOARGS,
     "state_hashes($self)\n--\n\nEach game's state_hash() (uint64)."},
    {"transposition_hashes", noargs<batch_transposition_hashes>, METH_NOARGS,
     "transposition_hashes($self)\n--\n\nEach game's transposition_hash() (uint64)."},
    {"game", as_cfunction(fastcall<batch_game>), kFast, "game($self, i)\n--\n\nA new Game equal to game i."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot batch_slots[] = {
    {Py_tp_doc, const_cast<char *>("GameBatch(count, width, height, *, threads=1)\n--\n\n"
                                   "Many games of one size, stepped and observed together.")},
    {Py_tp_new, reinterpret_cast<void *>(new_slot<batch_new>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(PyGameBatch::dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(unary<batch_repr>)},
    {Py_tp_methods, batch_methods},
    {0, nullptr},
};

PyType_Spec batch_spec = var_spec<PyGameBatch>("drevik_gravline_batch.GameBatch", batch_slots);

PyTypeObject *batch_type() { return batch_class.get([] { return make_type(batch_spec); }); }

PyMethodDef encode_games_def = {
    "encode_games", as_cfunction(fastcall<encode_games>), kFast,
    "encode_games(games, out=None)\n--\n\nThe planes of Game objects of one size as a float32 array."};

}  // namespace

void add_game_batch(PyObject *module) {
    module_add(module, "GameBatch", type_ref(batch_type()));
    Ref module_name = check(PyModule_GetNameObject(module));
    module_add(module, "encode_games", check(PyCFunction_NewEx(&encode_games_def, module, module_name.get())));
}

}  // namespace gravline::py

// The self-play generator: self_play(), which plays games in C++ on threads of
// its own and returns their Records.
#include <optional>
#include <string>

#include "../../selfplay.h"
#include "batch_module.h"

namespace gravline::py {
namespace {

constexpr unsigned kMaxThreads = 256;

Ref self_play(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    static constexpr std::array<const char *, 8> names{"games", "width",    "height",  "policy",
                                                       "seed",  "threads", "progress", "first_game"};
    const auto a = py::bind("self_play()", names, 3, 3, args, nargs, kwnames);
    const long long games = PyLong_AsLongLong(a[0]);
    if (games == -1 && PyErr_Occurred()) throw_argument_error("games");
    if (games < 0) throw PyError(PyExc_ValueError, "games must not be negative");
    const uint64_t width = to_u64(a[1], "width"), height = to_u64(a[2], "height");
    validate_board_dimensions(width, height);

    SelfPlayConfig c;
    c.width = static_cast<unsigned>(width);
    c.height = static_cast<unsigned>(height);
    c.games = static_cast<uint64_t>(games);
    if (a[3]) {
        if (!PyUnicode_Check(a[3])) throw_argument_not_instance(a[3], "str", "policy");
        if (PyUnicode_CompareWithASCIIString(a[3], "tactical") == 0) c.policy = Policy::Tactical;
        else if (PyUnicode_CompareWithASCIIString(a[3], "random") == 0) c.policy = Policy::Random;
        else {
            Ref text = check(PyObject_Repr(a[3]));
            throw PyError(PyExc_ValueError, std::string("policy must be 'tactical' or 'random', not ") +
                                                PyUnicode_AsUTF8(text.get()));
        }
    }
    c.seed = u64_or(a[4], "seed", 0);
    const uint64_t threads = u64_or(a[5], "threads", 1);
    if (threads < 1 || threads > kMaxThreads)
        throw PyError(PyExc_ValueError, "threads must be between 1 and " + std::to_string(kMaxThreads));
    c.threads = static_cast<unsigned>(threads);
    PyObject *progress = a[6] == Py_None ? nullptr : a[6];
    if (progress && !PyCallable_Check(progress)) throw PyError(PyExc_TypeError, "progress must be callable or None");
    c.first_game = u64_or(a[7], "first_game", 0);
    // Game indices are stored in 32 bits.
    if (c.first_game > (uint64_t{1} << 32) || c.games > (uint64_t{1} << 32) - c.first_game)
        throw PyError(PyExc_ValueError, "game indices must stay below 2**32");

    // Declared before the unlocked scope, so it is released with the lock held.
    std::optional<PyError> stopped;
    Records out;
    try {
        Unlocked unlocked;
        const auto between = [&](uint64_t done) {
            return unlocked.locked([&] {
                if (PyErr_CheckSignals() < 0) {
                    stopped.emplace(PyError::fetch());
                    return false;
                }
                if (progress) {
                    Ref count = Ref::steal(PyLong_FromUnsignedLongLong(done));
                    Ref result = count ? Ref::steal(PyObject_CallOneArg(progress, count.get())) : Ref();
                    if (!result) {
                        stopped.emplace(PyError::fetch());
                        return false;
                    }
                }
                return true;
            });
        };
        with_word_count(words_for(c.width, c.height),
                [&](auto n) { return run_self_play<decltype(n)::value>(c, out, between); });
    } catch (const ForkedRun &) {
        // In a child forked by the callback. What the callback raised there
        // (an exit, say) comes first.
        if (stopped) throw std::move(*stopped);
        throw PyError(PyExc_RuntimeError, "self_play() cannot go on in a process forked during the run: "
                                          "the run's worker threads are not there");
    }
    if (stopped) throw std::move(*stopped);
    return new_records(std::move(out));
}

PyMethodDef self_play_def = {
    "self_play", as_cfunction(fastcall<self_play>), METH_FASTCALL | METH_KEYWORDS,
    "self_play(games, width, height, *, policy='tactical', seed=0, threads=1, progress=None, first_game=0)\n--\n\n"
    "Plays games first_game .. first_game + games - 1 with the 'tactical' or 'random'\n"
    "policy and returns their Records, games in index order. Each game is seeded by\n"
    "(seed, its index) alone, so any threads and any split into shards give the same\n"
    "records. progress(games done) is called between chunks on the calling thread; in a\n"
    "child process that it forks, a run that uses worker threads raises RuntimeError."};

}  // namespace

void add_self_play(PyObject *module) { module_add(module, "self_play", function(module, self_play_def)); }

}  // namespace gravline::py

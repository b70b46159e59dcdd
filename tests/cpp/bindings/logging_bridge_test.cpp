// The logging bridge inside an embedded interpreter: names, levels, the
// logger cache, native threads and the caller's pending exception.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bindings/gil.hpp"
#include "bindings/logging_bridge.hpp"
#include "bindings/python.hpp"
#include "common/log.hpp"

// The embedded interpreter keeps memory until exit by design.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace {

using common::log::Level;

PyThreadState* main_thread_state = nullptr;

class EmbeddedPython : public ::testing::Environment {
public:
    void SetUp() override {
        Py_InitializeEx(0);
        qmc::py::install_logging_bridge();
        // Every record reaching Python is kept for inspection.
        ASSERT_EQ(PyRun_SimpleString(R"(
import logging, sys

class Capture(logging.Handler):
    def __init__(self):
        super().__init__(logging.NOTSET)
        self.records = []
    def emit(self, record):
        self.records.append(record)

capture = Capture()
logging.getLogger().addHandler(capture)

def seen(name):
    return [(r.levelno, r.getMessage()) for r in capture.records if r.name == name]

unraisable = []
sys.unraisablehook = lambda info: unraisable.append(info.exc_type.__name__)
)"),
                  0);
        // The tests take the interpreter lock where they need it.
        main_thread_state = PyEval_SaveThread();
    }
    void TearDown() override {
        PyEval_RestoreThread(main_thread_state);
        Py_FinalizeEx();
    }
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new EmbeddedPython);

struct Gil {
    PyGILState_STATE state = PyGILState_Ensure();
    ~Gil() { PyGILState_Release(state); }
};

// Runs statements in __main__.
void run(const std::string& code) {
    Gil gil;
    ASSERT_EQ(PyRun_SimpleString(code.c_str()), 0) << code;
}

// repr() of an expression evaluated in __main__.
std::string eval(const std::string& expression) {
    Gil gil;
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* value = PyRun_String(expression.c_str(), Py_eval_input, globals, globals);
    if (value == nullptr) {
        PyErr_Print();
        return "<error>";
    }
    PyObject* text = PyObject_Repr(value);
    std::string out = PyUnicode_AsUTF8(text);
    Py_DECREF(text);
    Py_DECREF(value);
    return out;
}

TEST(LoggingBridge, MapsOriginToLoggerNameAndLevels) {
    run("logging.getLogger('qmc_test.levels').setLevel(1)");
    QMC_LOG(Level::Error, "qmc_test::levels", "e");
    QMC_LOG(Level::Warn, "qmc_test::levels", "w");
    QMC_LOG(Level::Info, "qmc_test::levels", "i");
    QMC_LOG(Level::Debug, "qmc_test::levels", std::string("d") + "ebug");
    QMC_LOG(Level::Trace, "qmc_test::levels", "never forwarded");
    EXPECT_EQ(eval("seen('qmc_test.levels')"), "[(40, 'e'), (30, 'w'), (20, 'i'), (10, 'debug')]");

    const unsigned line = __LINE__ + 1;
    QMC_LOG(Level::Warn, "qmc_test::deep::origin::path", "where");
    EXPECT_EQ(eval("[r.name for r in capture.records if r.getMessage() == 'where']"),
              "['qmc_test.deep.origin.path']");
    EXPECT_EQ(eval("[r.lineno for r in capture.records if r.getMessage() == 'where']"),
              "[" + std::to_string(line) + "]");
    EXPECT_EQ(eval("[r.pathname.endswith('logging_bridge_test.cpp') for r in capture.records "
                   "if r.getMessage() == 'where']"),
              "[True]");
    EXPECT_EQ(common::log::max_level(), Level::Debug);
}

TEST(LoggingBridge, FileAndLineMayBeUnknown) {
    common::log::write(Level::Warn, "qmc_test::anonymous", nullptr, 0, "no source");
    EXPECT_EQ(eval("[(r.pathname, r.lineno) for r in capture.records if r.name == 'qmc_test.anonymous']"),
              "[(None, 0)]");
}

TEST(LoggingBridge, ThresholdCachedAtFirstUseIsNotLoweredLater) {
    // At the default effective level (WARNING) when first used ...
    QMC_LOG(Level::Warn, "qmc_test::cached_low", "first");
    run("logging.getLogger('qmc_test.cached_low').setLevel(logging.DEBUG)");
    // ... a later DEBUG setting does not let info or debug through.
    EXPECT_FALSE(common::log::enabled(Level::Info, "qmc_test::cached_low"));
    QMC_LOG(Level::Info, "qmc_test::cached_low", "info after lowering");
    common::log::write(Level::Debug, "qmc_test::cached_low", __FILE__, __LINE__, "debug after lowering");
    EXPECT_EQ(eval("seen('qmc_test.cached_low')"), "[(30, 'first')]");
}

TEST(LoggingBridge, RaisedThresholdTakesEffectAtOnce) {
    run("logging.getLogger('qmc_test.cached_high').setLevel(logging.DEBUG)");
    QMC_LOG(Level::Info, "qmc_test::cached_high", "passes");
    run("logging.getLogger('qmc_test.cached_high').setLevel(logging.WARNING)");
    QMC_LOG(Level::Info, "qmc_test::cached_high", "stopped");
    QMC_LOG(Level::Warn, "qmc_test::cached_high", "still passes");
    EXPECT_EQ(eval("seen('qmc_test.cached_high')"), "[(20, 'passes'), (30, 'still passes')]");
}

TEST(LoggingBridge, NativeThreadsLogWhileTheMainThreadWaitsWithoutTheLock) {
    run("logging.getLogger('qmc_test.threads').setLevel(logging.INFO)");
    constexpr int kThreads = 4;
    constexpr int kRecords = 50;
    {
        Gil gil;  // a Python caller waiting on native work ...
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([t] {
                const std::string own = "qmc_test::threads::t" + std::to_string(t);
                for (int i = 0; i < kRecords; ++i) {
                    QMC_LOG(Level::Info, "qmc_test::threads", "shared");
                    QMC_LOG(Level::Info, own, "own");  // new origins race into the cache
                }
            });
        }
        qmc::py::allow_threads([&] {  // ... releases the lock while it waits
            for (auto& thread : threads) thread.join();
        });
    }
    ASSERT_TRUE(qmc::py::flush_log_records(std::chrono::steady_clock::now() + std::chrono::seconds(30)));
    EXPECT_EQ(eval("len(seen('qmc_test.threads'))"), std::to_string(kThreads * kRecords));
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(eval("len(seen('qmc_test.threads.t" + std::to_string(t) + "'))"), std::to_string(kRecords));
}

TEST(LoggingBridge, NativeThreadsNeverWaitForTheInterpreterLock) {
    run("logging.getLogger('qmc_test.handoff').setLevel(logging.INFO)");
    // More than the queue and the forwarding thread's batch together can hold
    // (1024 each) while the interpreter lock is held.
    constexpr int kRecords = 3000;
    unsigned line = 0;
    {
        Gil gil;  // held throughout: a thread that waited for it would never finish
        std::thread native([&line] {
            for (int i = 0; i < kRecords; ++i) {
                line = __LINE__ + 1;
                QMC_LOG(Level::Info, "qmc_test::handoff", std::to_string(i));
            }
        });
        native.join();
    }
    ASSERT_TRUE(qmc::py::flush_log_records(std::chrono::steady_clock::now() + std::chrono::seconds(30)));
    // In order, with file and line; the oldest lost from the full queue are
    // counted in a warning placed where they were lost.
    run(R"(
handed = [r for r in capture.records if r.name == 'qmc_test.handoff']
numbers = [int(r.getMessage()) for r in handed if r.levelno == logging.INFO]
warnings = [r.getMessage() for r in handed if r.levelno == logging.WARNING]
lost = sum(int(w.split()[0]) for w in warnings)
)");
    EXPECT_EQ(eval("numbers == sorted(numbers) and numbers[-1]"), std::to_string(kRecords - 1));
    EXPECT_EQ(eval("len(numbers) + lost"), std::to_string(kRecords));
    EXPECT_EQ(eval("len(warnings) >= 1 and warnings[0].endswith(\"log records dropped: the queue to Python's logging was full\")"),
              "True");
    EXPECT_EQ(eval("{(r.lineno, r.pathname.endswith('logging_bridge_test.cpp')) for r in handed if r.levelno == 20}"),
              "{(" + std::to_string(line) + ", True)}");
}

TEST(LoggingBridge, CallersPendingExceptionIsPreserved) {
    Gil gil;
    PyErr_SetString(PyExc_KeyError, "kept");
    QMC_LOG(Level::Warn, "qmc_test::pending", "logged meanwhile");
    ASSERT_NE(PyErr_Occurred(), nullptr);
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_KeyError));
    PyErr_Clear();
    PyObject* globals = PyModule_GetDict(PyImport_AddModule("__main__"));
    PyObject* count = PyRun_String("len(seen('qmc_test.pending'))", Py_eval_input, globals, globals);
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(PyLong_AsLong(count), 1);
    Py_DECREF(count);
}

TEST(LoggingBridge, FailingLoggerIsReportedNotLeftPending) {
    run(R"(
class Broken(logging.Logger):
    def handle(self, record):
        raise RuntimeError("handler exploded")
logging.Logger.manager.loggerDict['qmc_test.broken'] = Broken('qmc_test.broken')
unraisable.clear()
)");
    {
        Gil gil;
        QMC_LOG(Level::Warn, "qmc_test::broken", "boom");
        EXPECT_EQ(PyErr_Occurred(), nullptr);
    }
    EXPECT_EQ(eval("unraisable"), "['RuntimeError']");
    // Not cached after a failure: the next record asks Python again.
    QMC_LOG(Level::Warn, "qmc_test::broken", "boom again");
    EXPECT_EQ(eval("unraisable"), "['RuntimeError', 'RuntimeError']");
}

TEST(LoggingBridgeDeathTest, RecordsAfterInterpreterExitAreDropped) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            PyEval_RestoreThread(main_thread_state);
            Py_FinalizeEx();
            std::thread late([] { QMC_LOG(Level::Error, "qmc_test::late", "after exit"); });
            late.join();
            QMC_LOG(Level::Error, "qmc_test::late", "after exit, main thread");
            std::_Exit(common::log::enabled(Level::Error, "qmc_test::late") ? 1 : 0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(LoggingBridgeDeathTest, HandedOffRecordsReachPythonBeforeFinalisation) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            PyEval_RestoreThread(main_thread_state);  // the record cannot be forwarded before exit
            PyRun_SimpleString("logging.getLogger('qmc_test.exit').addHandler(logging.StreamHandler())");
            std::thread native([] { QMC_LOG(Level::Warn, "qmc_test::exit", "handed off before exit"); });
            native.join();
            Py_FinalizeEx();
            std::_Exit(0);
        },
        ::testing::ExitedWithCode(0), "handed off before exit");
}

}  // namespace

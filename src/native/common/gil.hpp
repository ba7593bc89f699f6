// Work done with the GIL released, behind the guard of the entry point that
// runs it.
#pragma once

#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string>

namespace morvane {

// Runs work with the GIL released; whatever it throws is thrown again once
// the GIL is back, so the caller's guard sees it with the lock held. Only the
// kind and text travel: std::exception_ptr would ask for a newer C++ runtime
// than the oldest Linux a wheel of this module installs on.
template <class F>
void without_gil(F&& work) {
    enum class Failure { None, Memory, Other } failure = Failure::None;
    std::string what;
    Py_BEGIN_ALLOW_THREADS
    try {
        work();
    } catch (const std::bad_alloc&) {
        failure = Failure::Memory;
    } catch (const std::exception& e) {
        failure = Failure::Other;
        try {
            what = e.what();
        } catch (...) {
        }
    } catch (...) {
        failure = Failure::Other;
    }
    Py_END_ALLOW_THREADS
    if (failure == Failure::Memory) throw std::bad_alloc();
    if (failure == Failure::Other) throw std::runtime_error(what.empty() ? "unexpected C++ exception" : what);
}

// Runs work without the GIL only when it is long enough to be worth taking
// the GIL back afterwards, which can wait for a switch interval of another thread.
template <class F>
void without_gil_if(bool long_work, F&& work) {
    if (long_work)
        without_gil(work);
    else
        work();
}

// The GIL released for a scope that mostly runs without it but must now and then call
// into Python (grow an object, take CPython's own way for a rare value): `held` runs such a
// step with the GIL taken back. A Python error a step sets stays in the thread's state across
// the release; whatever unwinds past a Released finds the GIL held again.
class Released {
public:
    Released() : save_(PyEval_SaveThread()) {}
    ~Released() { PyEval_RestoreThread(save_); }
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;

    template <class F>
    auto held(F&& step) {
        PyEval_RestoreThread(save_);
        struct Again {
            PyThreadState*& save;
            ~Again() { save = PyEval_SaveThread(); }
        } again{save_};
        return step();
    }

private:
    PyThreadState* save_;
};

}  // namespace morvane

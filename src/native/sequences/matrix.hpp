// What both matrix kinds share: NumPy through the module global, the checks of
// a counted sequence, and the running totals.
#pragma once

#include <Python.h>

#include <cstdint>
#include <vector>

#include "kernels/kernels.hpp"
#include "sequences/frame/buffer.hpp"
#include "sequences/frame/function.hpp"
#include "sequences/frame/names.hpp"

namespace morvane {

// Every matrix method that takes a sequence has it right after self, and the
// counting methods their amount after it.
constexpr int kSequenceArg = 1;
constexpr int kAmountArg = 2;

// numpy.<name>, looked up through the module global `np` at each use.
Ref np_attr(const Call& c, const char* name);

// numpy.zeros(shape) for a shape tuple built from 5s and the `length` object:
// `fives` leading 5s followed by `lengths` copies of length.
Ref zeros_shape(const Call& c, int fives, PyObject* length, int lengths);

// The width as a 32-bit int, read from self.length.
bool read_length(PyObject* self, std::int32_t* L);

// The first L codes of a counted sequence, copied once: the counting loops
// read this copy, so they use exactly the codes that were checked even when
// the sequence shares memory with the counts they update.
class CountedCodes {
public:
    // A counted sequence must hold L codes; the bias set skips a window holding
    // N (code 4), and every code counted must index the count arrays. Returns 1
    // when the window is to be counted, 0 when it is skipped for its N, -1 on error.
    int take(const Call& c, std::int32_t L, bool skip_n);
    kernels::Strided<std::int64_t> view() const { return {reinterpret_cast<char*>(data_), size_, 8}; }

private:
    std::int64_t local_[64];
    std::vector<std::int64_t> heap_;
    std::int64_t* data_ = local_;
    std::int64_t size_ = 0;
};

// self.<total> += amount, as a Python float.
bool add_total(PyObject* self, const char* total, double amount);

// len(sequence), which must match the elements its buffer holds.
bool sequence_length(const Call& c, Py_ssize_t* n);

// numpy.mean(numpy.sum(array[:4, :], axis=0)): the mean base weight per position.
Ref mean_base_weight(const Call& c, const Ref& array);

// a + b for a Python int b.
Ref plus(const Ref& a, long b);

// numpy.true_divide(counts + 1, self.<total> + 4): one pseudo-count per entry,
// the total read back from the instance.
Ref smoothed(const Call& c, const Ref& counts, const char* total);

// self.pssm = numpy.log2(numpy.true_divide(self.bias_pwm, self.bg_pwm)).
bool set_log_odds(const Call& c);

// The contiguous float64 buffer of the scores array that numpy.zeros(n) made.
bool score_buffer(const Ref& scores, Py_ssize_t n, BufferView& out);

// The codes to score: the sequence itself, or a private copy when the scores
// share its memory, since the scores written would change codes still to be read.
kernels::Strided<std::int64_t> scored_codes(const Call& c, const BufferView& out, std::vector<std::int64_t>& copy);

// Names the first negative code of a scored sequence.
PyObject* raise_negative_code(kernels::Strided<std::int64_t> seq, std::int64_t index);

}  // namespace morvane

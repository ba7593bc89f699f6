// Bodies of the module's callables, one unit per subsystem. Each receives its
// arguments bound and converted (frame/function.hpp) and returns a new
// reference, or nullptr with an exception set.
#pragma once

#include "sequences/frame/function.hpp"

namespace morvane {

// coding.cpp
PyObject* nuc_to_num(Call&);

// genomic.cpp
PyObject* genomic_init(Call&);
PyObject* genomic_from_fasta(Call&);
PyObject* get_gc_content(Call&);

// pwm.cpp: the base class, its factory and the mono-nucleotide matrix
PyObject* matrix_create(Call&);
PyObject* matrix_add_counts(Call&);
PyObject* pwm_init(Call&);
PyObject* pwm_add_sequence(Call&);
PyObject* pwm_add_background(Call&);
PyObject* pwm_prepare_mat(Call&);
PyObject* pwm_score_sequence(Call&);

// dwm.cpp
PyObject* dwm_init(Call&);
PyObject* dwm_add_sequence(Call&);
PyObject* dwm_add_background(Call&);
PyObject* dwm_prepare_mat(Call&);
PyObject* dwm_score_sequence(Call&);

}  // namespace morvane

#ifndef BRIMVALE_GUI_GL_PROBE_H
#define BRIMVALE_GUI_GL_PROBE_H

#include <stdint.h>

// Which OpenGL pixel formats the display offers, asked once at start-up.
// The attribute lists are in the toolkit's GL canvas encoding.

enum {
    // Room in gl_attribute_list: at most 63 values and the terminating 0.
    quon_gl_attribute_list_size = 64,
    // The 13 candidates plus the end row.
    quon_gl_candidate_rows = 14,
};

// One row of the candidate table. end is 0 for a candidate, non-zero for
// the row after the last one.
struct quon_gl_candidate {
    int32_t end;
    int32_t sample_buffers;
    int32_t samples;
    int32_t depth_bits;
};

// Richest first: all RGBA and double-buffered, 9 samples before 4 before
// none, then deeper depth buffers first. Ends with an end row.
extern const quon_gl_candidate quon_gl_candidates[quon_gl_candidate_rows];

// The preferred configuration, zero-terminated; all 0 (an empty list) until
// a probe has found one. Read by the OpenGL window when it is created.
extern int32_t gl_attribute_list[quon_gl_attribute_list_size];

// Writes the candidate's attribute list (RGBA 1, double buffer 4, then
// sample buffers 17, samples 18 and depth size 11 each followed by its value
// when that is not 0, then 0)
// into list, cut to capacity - 1 values and the terminator. Returns the
// number of values before the terminator.
int quon_gl_build_attribute_list(const quon_gl_candidate& candidate, int32_t* list, int capacity);

// The support test: non-zero when the display offers a configuration with
// the attributes, context as given to the probe.
typedef int (*quon_gl_support_test)(const int32_t* attributes, void* context);

// Tries every candidate of table in order (it does not stop at the first
// success), logs one line per candidate at verbosity above 2, the first
// supported one marked " (preferred)" and copied into gl_attribute_list.
// With none supported it logs the error (verbosity above 0) and leaves
// gl_attribute_list as it was. Returns the number of supported candidates.
int quon_gl_probe(const quon_gl_candidate* table, quon_gl_support_test supported, void* context);

// The probe of the real display through the toolkit's GL query. The
// toolkit must be started and connected to the display. GUI thread.
void autodetect_gl_config();

#endif

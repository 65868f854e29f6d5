#include "gui/gl_probe.h"

#include <string.h>

#include <wx/glcanvas.h>

#include "base/log.h"

// The stored lists are part of the library's contract, so the codes must not
// move with the toolkit.
static_assert(WX_GL_RGBA == 1 && WX_GL_DOUBLEBUFFER == 4 && WX_GL_DEPTH_SIZE == 11 && WX_GL_SAMPLE_BUFFERS == 17 &&
                  WX_GL_SAMPLES == 18,
              "the toolkit's GL canvas attribute codes");
static_assert(sizeof(int32_t) == sizeof(int), "attribute lists go to the toolkit as int");

const quon_gl_candidate quon_gl_candidates[quon_gl_candidate_rows] = {
    {0, 1, 9, 32}, {0, 1, 9, 24}, {0, 1, 9, 16},
    {0, 1, 4, 32}, {0, 1, 4, 24}, {0, 1, 4, 16},
    {0, 1, 0, 32}, {0, 1, 0, 24}, {0, 1, 0, 16},
    {0, 0, 0, 32}, {0, 0, 0, 24}, {0, 0, 0, 16},
    {0, 0, 0, 0},
    {1, 0, 0, 0},
};

int32_t gl_attribute_list[quon_gl_attribute_list_size];

int quon_gl_build_attribute_list(const quon_gl_candidate& candidate, int32_t* list, int capacity)
{
    if (!list || capacity < 1)
        return 0;
    int32_t values[9];
    int count = 0;
    values[count++] = WX_GL_RGBA;
    values[count++] = WX_GL_DOUBLEBUFFER;
    if (candidate.sample_buffers != 0) {
        values[count++] = WX_GL_SAMPLE_BUFFERS;
        values[count++] = candidate.sample_buffers;
    }
    if (candidate.samples != 0) {
        values[count++] = WX_GL_SAMPLES;
        values[count++] = candidate.samples;
    }
    if (candidate.depth_bits != 0) {
        values[count++] = WX_GL_DEPTH_SIZE;
        values[count++] = candidate.depth_bits;
    }
    if (count > capacity - 1)
        count = capacity - 1;
    memcpy(list, values, count * sizeof(int32_t));
    list[count] = 0;
    return count;
}

int quon_gl_probe(const quon_gl_candidate* table, quon_gl_support_test supported, void* context)
{
    int found = 0;
    for (const quon_gl_candidate* row = table; row && row->end == 0; row++) {
        int32_t list[quon_gl_attribute_list_size];
        int count = quon_gl_build_attribute_list(*row, list, quon_gl_attribute_list_size);
        int ok = supported(list, context);
        if (verbosity_level > 2)
            log_printf("autodetect_gl_config() - %s for sample buffers %d, supersample count %d, depth buffer %d.%s\n",
                       ok ? "success" : "failure", row->sample_buffers, row->samples, row->depth_bits,
                       ok && found == 0 ? " (preferred)" : "");
        if (!ok)
            continue;
        if (found == 0) {
            memset(gl_attribute_list, 0, sizeof(gl_attribute_list));
            memcpy(gl_attribute_list, list, (count + 1) * sizeof(int32_t));
        }
        found++;
    }
    if (found == 0 && verbosity_level > 0)
        log_printf("Error in autodetect_gl_config() - no valid configurations found.\n");
    return found;
}

namespace {

int toolkit_supports(const int32_t* attributes, void* /*context*/)
{
    return wxGLCanvas::IsDisplaySupported(attributes) ? 1 : 0;
}

}  // namespace

void autodetect_gl_config()
{
    quon_gl_probe(quon_gl_candidates, toolkit_supports, nullptr);
}

#include "gui/gl_probe.h"

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/log.h"
#include "tests/support/test_support.h"

namespace {

std::vector<int32_t> list_of(const quon_gl_candidate& candidate, int capacity = quon_gl_attribute_list_size)
{
    std::vector<int32_t> list(capacity, -1);
    int count = quon_gl_build_attribute_list(candidate, list.data(), capacity);
    EXPECT_EQ(list[count], 0);
    list.resize(count + 1);
    return list;
}

std::vector<int32_t> stored_list()
{
    std::vector<int32_t> list;
    for (int i = 0; i < quon_gl_attribute_list_size; i++) {
        list.push_back(gl_attribute_list[i]);
        if (!gl_attribute_list[i])
            break;
    }
    return list;
}

// A display that offers every configuration up to these limits.
struct fake_display {
    int has_opengl;
    int sample_buffers;
    int samples;
    int depth_bits;
    int queries;
};

int fake_supports(const int32_t* attributes, void* context)
{
    fake_display* display = (fake_display*)context;
    display->queries++;
    int ok = display->has_opengl;
    for (const int32_t* a = attributes; *a; a++) {
        switch (*a) {
        case 1:  // RGBA
        case 4:  // double buffer
            break;
        case 17:
            ok &= *++a <= display->sample_buffers;
            break;
        case 18:
            ok &= *++a <= display->samples;
            break;
        case 11:
            ok &= *++a <= display->depth_bits;
            break;
        default:
            ADD_FAILURE() << "unexpected attribute " << *a;
            return 0;
        }
    }
    return ok;
}

struct verbosity_guard {
    int saved = verbosity_level;
    ~verbosity_guard() { verbosity_level = saved; }
};

}  // namespace

TEST(gl_probe, table_runs_from_richest_to_plainest_and_ends_with_the_end_row)
{
    const int expected[13][3] = {{1, 9, 32}, {1, 9, 24}, {1, 9, 16}, {1, 4, 32}, {1, 4, 24}, {1, 4, 16}, {1, 0, 32},
                                 {1, 0, 24}, {1, 0, 16}, {0, 0, 32}, {0, 0, 24}, {0, 0, 16}, {0, 0, 0}};
    for (int i = 0; i < 13; i++) {
        EXPECT_EQ(quon_gl_candidates[i].end, 0) << "row " << i + 1;
        EXPECT_EQ(quon_gl_candidates[i].sample_buffers, expected[i][0]) << "row " << i + 1;
        EXPECT_EQ(quon_gl_candidates[i].samples, expected[i][1]) << "row " << i + 1;
        EXPECT_EQ(quon_gl_candidates[i].depth_bits, expected[i][2]) << "row " << i + 1;
    }
    EXPECT_EQ(quon_gl_candidates[13].end, 1);
}

TEST(gl_probe, attribute_lists_name_only_the_non_zero_values)
{
    EXPECT_EQ(list_of(quon_gl_candidates[0]), (std::vector<int32_t>{1, 4, 17, 1, 18, 9, 11, 32, 0}));
    EXPECT_EQ(list_of(quon_gl_candidates[6]), (std::vector<int32_t>{1, 4, 17, 1, 11, 32, 0}));
    EXPECT_EQ(list_of(quon_gl_candidates[10]), (std::vector<int32_t>{1, 4, 11, 24, 0}));
    EXPECT_EQ(list_of(quon_gl_candidates[12]), (std::vector<int32_t>{1, 4, 0}));
    // Cut to the room given, always terminated.
    EXPECT_EQ(list_of(quon_gl_candidates[0], 3), (std::vector<int32_t>{1, 4, 0}));
}

TEST(gl_probe, first_supported_candidate_is_preferred_and_stored)
{
    verbosity_guard guard;
    verbosity_level = 3;
    struct {
        const char* name;
        fake_display display;
        int supported;
        const char* preferred_line;
        std::vector<int32_t> stored;
    } rows[] = {
        {"everything", {1, 1, 16, 32, 0}, 13,
         "autodetect_gl_config() - success for sample buffers 1, supersample count 9, depth buffer 32. (preferred)\n",
         {1, 4, 17, 1, 18, 9, 11, 32, 0}},
        {"no multisampling, 24-bit depth", {1, 0, 0, 24, 0}, 3,
         "autodetect_gl_config() - success for sample buffers 0, supersample count 0, depth buffer 24. (preferred)\n",
         {1, 4, 11, 24, 0}},
        {"4 samples, 16-bit depth", {1, 1, 4, 16, 0}, 4,
         "autodetect_gl_config() - success for sample buffers 1, supersample count 4, depth buffer 16. (preferred)\n",
         {1, 4, 17, 1, 18, 4, 11, 16, 0}},
    };
    for (auto& row : rows) {
        memset(gl_attribute_list, 0x55, sizeof(gl_attribute_list));
        log_capture log;
        EXPECT_EQ(quon_gl_probe(quon_gl_candidates, fake_supports, &row.display), row.supported) << row.name;
        EXPECT_EQ(row.display.queries, 13) << row.name;
        EXPECT_EQ(log.count("autodetect_gl_config() - "), 13) << row.name;
        EXPECT_EQ(log.count("\n"), 13) << row.name;
        EXPECT_EQ(log.count(" - success for "), row.supported) << row.name;
        EXPECT_EQ(log.count(" (preferred)"), 1) << row.name;
        EXPECT_TRUE(log.contains(row.preferred_line)) << row.name << "\n" << log.text();
        EXPECT_FALSE(log.contains("Error")) << row.name;
        EXPECT_EQ(stored_list(), row.stored) << row.name;
        // The rest of the array is cleared, not left from before.
        EXPECT_EQ(gl_attribute_list[quon_gl_attribute_list_size - 1], 0) << row.name;
    }
}

TEST(gl_probe, a_display_without_opengl_fails_every_candidate_and_keeps_the_old_list)
{
    verbosity_guard guard;
    verbosity_level = 3;
    const int32_t previous[] = {1, 4, 11, 16, 0};
    memset(gl_attribute_list, 0, sizeof(gl_attribute_list));
    memcpy(gl_attribute_list, previous, sizeof(previous));
    log_capture log;
    fake_display none = {0, 1, 16, 32, 0};
    EXPECT_EQ(quon_gl_probe(quon_gl_candidates, fake_supports, &none), 0);
    EXPECT_EQ(log.count(" - failure for "), 13);
    EXPECT_TRUE(log.contains(
        "autodetect_gl_config() - failure for sample buffers 1, supersample count 9, depth buffer 32.\n"));
    EXPECT_TRUE(log.contains("autodetect_gl_config() - failure for sample buffers 0, supersample count 0, depth "
                             "buffer 0.\nError in autodetect_gl_config() - no valid configurations found.\n"));
    EXPECT_EQ(stored_list(), (std::vector<int32_t>{1, 4, 11, 16, 0}));
}

TEST(gl_probe, verbosity_gates_the_lines)
{
    verbosity_guard guard;
    fake_display none = {0, 1, 16, 32, 0};
    fake_display all = {1, 1, 16, 32, 0};
    log_capture log;
    verbosity_level = 2;
    quon_gl_probe(quon_gl_candidates, fake_supports, &all);
    EXPECT_EQ(log.text(), "");
    quon_gl_probe(quon_gl_candidates, fake_supports, &none);
    EXPECT_EQ(log.text(), "Error in autodetect_gl_config() - no valid configurations found.\n");
    log.clear();
    verbosity_level = 0;
    quon_gl_probe(quon_gl_candidates, fake_supports, &none);
    EXPECT_EQ(log.text(), "");
    // An empty table goes straight to the error.
    verbosity_level = 3;
    EXPECT_EQ(quon_gl_probe(quon_gl_candidates + 13, fake_supports, &all), 0);
    EXPECT_EQ(log.text(), "Error in autodetect_gl_config() - no valid configurations found.\n");
}

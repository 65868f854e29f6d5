#include "launcher/launcher_config.h"

#include <atomic>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/config_dir.h"
#include "base/file_utils.h"
#include "base/log.h"
#include "base/string_buffer.h"
#include "base/words.h"
#include "base/xml.h"
#include "launcher/startup.h"

namespace {

const char* const config_file_name = "launcher.cfg";
// Tag names, texts and the header line are read into buffers of this size.
const int config_text_size = 1000;

std::atomic<int> beta_test_enable(0);
char* stored_version = nullptr;

void read_config_children(quon_xml_file_reader& reader)
{
    char tag[config_text_size];
    while (reader.read_tag(tag, sizeof(tag))) {
        if (word_equals(tag, "launcher_version")) {
            char text[config_text_size];
            if (reader.read_data(text, sizeof(text))) {
                free(stored_version);
                stored_version = strdup(text);
            }
        } else if (word_equals(tag, "beta_test_enable")) {
            int value = beta_test_enable.load();
            if (reader.read_data(value))
                beta_test_enable = value;
        } else {
            reader.skip_data();
        }
    }
}

}  // namespace

int get_beta_test_enable()
{
    return beta_test_enable.load();
}

void set_beta_test_enable(int value)
{
    int previous = beta_test_enable.exchange(value);
    if (previous != value)
        save_system_config_file();
}

const char* get_stored_launcher_version()
{
    return stored_version;
}

void forget_system_config()
{
    free(stored_version);
    stored_version = nullptr;
    beta_test_enable = 0;
}

void load_system_config()
{
    const char* directory = quon_client_get_config_directory();
    if (!directory) {
        if (verbosity_level > 0)
            log_printf("Unable to load system config - no config file directory.\n");
        return;
    }
    quon_string_buffer path;
    path.append(directory);
    path.append_char('/');
    path.append(config_file_name);
    if (verbosity_level > 2)
        log_printf("load_system_config() - using core config file name '%s'.\n", path.c_str());

    FILE* file = quon_fopen(path.c_str(), "rb");
    if (!file) {
        if (verbosity_level > 0)
            log_printf("Unable to load system config - cannot open config file '%s'.\n", path.c_str());
    } else {
        quon_xml_file_reader reader(file);
        char header[config_text_size] = "";
        fget_line(file, header, sizeof(header));
        if (!reader.check_xml_header_string(header)) {
            if (verbosity_level > 0)
                log_printf("Warning in load_system_config() - bad XML header, bailing.\n");
        } else {
            char tag[config_text_size];
            while (reader.read_tag(tag, sizeof(tag))) {
                if (word_equals(tag, "launcher_config")) {
                    read_config_children(reader);
                } else {
                    if (verbosity_level > 0)
                        log_printf("load_system_config() got unknown tag '%s'\n", tag);
                    reader.skip_data();
                }
            }
        }
        quon_fclose(file);
    }

    if (!stored_version || strcmp(stored_version, launcher_version) != 0)
        save_system_config_file();
}

void save_system_config_file()
{
    const char* directory = quon_client_get_config_directory();
    if (!directory) {
        if (verbosity_level > 0)
            log_printf("Unable to save system config - no config file directory.\n");
        return;
    }
    quon_string_buffer path;
    path.append(directory);
    path.append_char('/');
    path.append(config_file_name);

    // The new file is written beside the old one and renamed over it, so a
    // crash or a full disk leaves the previous settings intact.
    quon_string_buffer temporary;
    FILE* file = quon_open_replacement(path.c_str(), temporary);
    if (!file) {
        if (verbosity_level > 0)
            log_printf("Unable to save system config - cannot open config file '%s'.\n", path.c_str());
        return;
    }
    quon_xml_file_writer writer(file);
    bool written = false;
    if (writer.write_header() > 0) {
        if (verbosity_level > 2)
            log_printf("Saving system config to file '%s'.\n", path.c_str());
        char mode[16];
        snprintf(mode, sizeof(mode), "%d", beta_test_enable.load());
        writer.write_tag("launcher_config", 1, nullptr);
        writer.write_tag("launcher_version", 0, nullptr);
        writer.write_string(launcher_version);
        writer.end_tag(nullptr, 0);
        writer.write_tag("beta_test_enable", 0, nullptr);
        writer.write_string(mode);
        writer.end_tag(nullptr, 0);
        writer.end_tag(nullptr, 1);
        writer.write_newline();
        written = quon_commit_replacement(file, temporary.c_str(), path.c_str()) != 0;
    } else {
        quon_abandon_replacement(file, temporary.c_str());
    }
    if (!written && verbosity_level > 0)
        log_printf("Error in save_system_config_file(), unable to write to system config file '%s'.\n",
                   path.c_str());
    fflush(nullptr);
}

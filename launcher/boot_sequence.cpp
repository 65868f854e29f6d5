#include "launcher/boot_sequence.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "base/file_utils.h"
#include "base/log.h"
#include "base/process.h"
#include "base/string_buffer.h"
#include "launcher/launcher_config.h"
#include "launcher/startup.h"
#include "updater/signing.h"

zel_file_manifest boot_manifest;
quon_pointer_array executable_list(13);
zel_file_manifest boot_failures;

namespace {

const int tick_step_ms = 20;
// The boot attempt waits for the first tick above this.
const int boot_delay_ms = 1000;
// Another launcher holding the lock longer than this makes us give up.
const int lock_wait_limit_ms = 3000;
// bootname.txt is read into this many bytes (1023 characters).
const int bootname_buffer_size = 1024;

bool boot_attempted = false;
// No process can hold the updater lock here (the executables directory is
// read-only, say): nobody is updating and nobody can, so the images there
// boot without an update run.
bool update_impossible = false;

int compare_names_descending(const void* a, const void* b)
{
    return strcmp(*(const char* const*)b, *(const char* const*)a);
}

void read_previous_image(char* name, int size)
{
    name[0] = 0;
    FILE* file = quon_fopen(bootname_path.c_str(), "rb");
    if (!file)
        return;
    if (fget_line(file, name, size) <= 0)
        name[0] = 0;
    quon_fclose(file);
}

void log_if(int threshold, const char* text)
{
    if (verbosity_level > threshold)
        log_printf("%s", text);
}

bool is_failed_build(const char* name)
{
    const zel_file_manifest_entry* image = boot_manifest.find_entry(name);
    const zel_file_manifest_entry* failed = boot_failures.find_entry(name);
    return image && failed && failed->size == image->size && strcmp(failed->hash, image->hash) == 0;
}

// bootname.txt still naming an image means that image's start failed: a
// client that starts properly empties the file. The failure is added to the
// history, which keeps only images still listed, so it cannot grow without
// bound.
void record_failed_boot(const char* previous)
{
    boot_failures.load_file(boot_failures_path.c_str());
    const zel_file_manifest_entry* image = previous[0] ? boot_manifest.find_entry(previous) : nullptr;
    if (image)
        boot_failures.add_or_update(image);
    int listed_before = boot_failures.count();
    for (zel_file_manifest_entry* entry = boot_failures.first_entry(); entry; entry = entry->next)
        if (!boot_manifest.find_entry(entry->name))
            entry->size = -1;  // no longer present: dropped below
    boot_failures.remove_missing_files(executables_dir.c_str());
    if (!image && boot_failures.count() == listed_before)
        return;
    quon_string_buffer temporary;
    FILE* file = quon_open_replacement(boot_failures_path.c_str(), temporary);
    if (!file)
        return;
    fputs("# Client builds whose start failed; the launcher passes them over while\n"
          "# another image is there. Delete this file to have them tried again.\n",
          file);
    for (const zel_file_manifest_entry* entry = boot_failures.first_entry(); entry; entry = entry->next)
        fprintf(file, "%s %10d %s\n", entry->hash, (int)entry->size, entry->name);
    quon_commit_replacement(file, temporary.c_str(), boot_failures_path.c_str());
}

// With a release key, an image is run only while it still hashes to the
// SHA-256 its manifest entry records, so a file damaged or replaced on disk
// after its download is passed over like one whose exec fails. Each image
// is hashed (and a mismatch reported) once per boot attempt.
quon_void_pointer_map image_checks;
void* const image_intact = (void*)1;
void* const image_damaged = (void*)2;

bool image_matches_manifest(const char* name)
{
    if (!zel_update_signing_required())
        return true;
    void* known = image_checks.find(name);
    if (known)
        return known == image_intact;
    const zel_file_manifest_entry* entry = boot_manifest.find_entry(name);
    quon_string_buffer path;
    zel_join_path(path, executables_dir.c_str(), name);
    char digest[zel_sha256_hex_length + 1];
    bool intact = entry && zel_sha256_file_hex(path.c_str(), digest) && strcmp(digest, entry->hash) == 0;
    image_checks.add(intact ? image_intact : image_damaged, name);
    if (!intact && verbosity_level > 0)
        log_printf("Image '%s' does not match the SHA-256 its manifest records, skipping.\n", name);
    return intact;
}

// Whether some image other than those known to fail can still be tried.
bool untried_image_exists()
{
    for (int i = 0; i < executable_list.count(); i++) {
        const char* name = (const char*)executable_list.get(i);
        if (!is_failed_build(name) && image_matches_manifest(name))
            return true;
    }
    return false;
}

}  // namespace

void build_executable_list()
{
    executable_list.clear();
    if (boot_manifest.load_file(manifest_path.c_str()) <= 0)
        return;
    if (boot_manifest.remove_missing_files(executables_dir.c_str()) <= 0)
        return;
    int beta = get_beta_test_enable();
    for (zel_file_manifest_entry* entry = boot_manifest.first_entry(); entry; entry = entry->next) {
        // A name that would leave the executables directory is never run,
        // whatever the manifest says.
        if (!zel_manifest_name_is_safe(entry->name))
            continue;
        if (strstr(entry->name, "beta") && !beta)
            continue;
        executable_list.add(entry->name);
    }
    executable_list.sort(compare_names_descending);
}

int write_crash_detect_file(const char* name)
{
    quon_string_buffer temporary;
    FILE* file = quon_open_replacement(bootname_path.c_str(), temporary);
    if (file) {
        fprintf(file, "%s\n", name);
        if (quon_commit_replacement(file, temporary.c_str(), bootname_path.c_str()))
            return 1;
    }
    if (verbosity_level > 0)
        log_printf("write_crash_detect_file(), unable to open file '%s' for writing.\n", bootname_path.c_str());
    return 0;
}

void run_boot_sequence_step(int* tick_ms, int options_mode, const boot_sequence_hooks& hooks)
{
    *tick_ms += tick_step_ms;

    if (updater_lock_fd < 0 && !update_impossible) {
        updater_lock_fd = quon_lock_file(lock_path.c_str());
        if (updater_lock_fd >= 0) {
            log_if(1, "OnTimer(), late start of updater thread.\n");
            hooks.start_updater(hooks.context);
            return;
        }
        if (!quon_file_lockable(lock_path.c_str())) {
            update_impossible = true;
            if (verbosity_level > 0)
                log_printf("Updater lock file '%s' cannot be opened, so no update can run; booting what is "
                           "there.\n",
                           lock_path.c_str());
            return;
        }
        if (*tick_ms <= lock_wait_limit_ms)
            return;
        log_if(0, "\n");
        log_if(0, "Sorry, it looks like there's another version of the launcher downloading\n");
        log_if(0, "updates right now.  Please try again when it's finished.\n");
        log_if(0, "\n");
        hooks.give_up(hooks.context);
        return;
    }

    if (boot_attempted || *tick_ms <= boot_delay_ms ||
        (!update_impossible && !updater_finished.load(std::memory_order_acquire)) || options_mode)
        return;
    boot_attempted = true;

    build_executable_list();
    char previous[bootname_buffer_size];
    read_previous_image(previous, sizeof(previous));

    if (executable_list.count() == 0) {
        log_if(0, "\n");
        log_if(0, "Sorry, no executables found - cannot start game.\n");
        log_if(0, "This launcher will attempt to download one if you restart it.\n");
        log_if(0, "If this message continues to occur, please notify the game admin.\n");
        log_if(0, "\n");
    }
    if (verbosity_level > 2)
        log_printf("Loaded %d entries from current manifest file '%s'.\n", executable_list.count(),
                   manifest_path.c_str());
    for (int i = 0; i < executable_list.count(); i++)
        if (verbosity_level > 1)
            log_printf("Got executable filename '%s'.\n", (const char*)executable_list.get(i));

    record_failed_boot(previous);
    image_checks.clear();
    bool skip_failed_builds = untried_image_exists();

    for (int i = 0; i < executable_list.count(); i++) {
        const char* name = (const char*)executable_list.get(i);
        if (skip_failed_builds && strcmp(name, previous) != 0 && is_failed_build(name)) {
            if (verbosity_level > 0)
                log_printf("Image '%s' failed to start before, skipping.\n", name);
            continue;
        }
        if (strcmp(name, previous) == 0) {
            if (verbosity_level > 0)
                log_printf("Previous boot of image '%s' failed.\n", name);
            if (executable_list.count() > 1) {
                log_if(0, "Skipping, will try older images.\n");
                continue;
            }
            log_if(0, "No other images, retrying.\n");
        }
        if (!image_matches_manifest(name))
            continue;
        write_crash_detect_file(name);

        quon_string_buffer path;
        path.append(executables_dir.c_str());
        path.append_char('/');
        path.append(name);
        if (verbosity_level > 2)
            log_printf("Trying executable '%s'.\n", path.c_str());
        char* argv[] = {const_cast<char*>(name), const_cast<char*>("-l"), const_cast<char*>(launcher_version),
                        nullptr};
        quon_boot_exec(path.c_str(), argv);
        if (verbosity_level > 0) {
            log_printf("Boot exec for filename '%s' failed.\n", path.c_str());
            log_printf("Trying next in line.\n");
        }
    }

    log_if(0, "Sorry, no valid executables found - cannot start game.\n");
    log_if(0, "If this message continues to occur, please notify the game admin.\n");
    hooks.give_up(hooks.context);
}

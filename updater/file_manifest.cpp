#include "updater/file_manifest.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "base/file_utils.h"
#include "base/log.h"
#include "base/string_buffer.h"
#include "base/words.h"

namespace {

// fget_line buffer for the local file: lines of 1023 characters or more are
// reported and cut.
const int manifest_line_buffer_size = 1024;
// Only this much of a hash is checked for hex digits; the rest of the token
// is not examined.
const int hash_checked_characters = 10;
// Hashes shorter than this are saved with a warning.
const int hash_expected_minimum = 20;

const char* const manifest_header =
    "# This is an automatically generated file - do not modify\n"
    "# It contains a list of the files currently managed by the\n"
    "# updater.  Changing or deleting it may cause your next\n"
    "# update to download far more things than it needs.\n"
    "\n";

char* copy_text(const char* text)
{
    return strdup(text ? text : "");
}

bool is_lower_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool is_token_end(char c)
{
    return c == 0 || c == ' ' || c == '\t' || c == '\n';
}

int syntax_error(const char* source_label, const char* problem, const char* line)
{
    quon_string_buffer message;
    message.append("Syntax error in ");
    message.append(source_label);
    message.append(problem);
    quon_log(message.c_str(), QUON_LOG_FERR, QUON_UPDATER);
    quon_log(line, QUON_LOG_FERR, QUON_UPDATER);
    return 0;
}

}  // namespace

void zel_join_path(quon_string_buffer& path, const char* directory, const char* name)
{
    path.clear();
    if (directory && *directory) {
        path.append(directory);
        path.append_char('/');
    }
    path.append(name);
}

zel_file_manifest_entry::zel_file_manifest_entry(const char* entry_name, const char* entry_hash, int32_t entry_size)
    : name(copy_text(entry_name)), hash(copy_text(entry_hash)), size(entry_size), next(nullptr)
{
}

zel_file_manifest_entry::~zel_file_manifest_entry()
{
    free(name);
    free(hash);
}

void zel_file_manifest_entry::set_hash(const char* new_hash)
{
    char* copy = copy_text(new_hash);
    free(hash);
    hash = copy;
}

int parse_manifest_line(const char* source_label, const char* line, zel_file_manifest_entry** entry)
{
    *entry = nullptr;
    if (!line)
        line = "";
    const char* p = line;
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p == '#' || *p == 0)
        return 1;

    for (int i = 0; i < hash_checked_characters; i++)
        if (!is_lower_hex(p[i]))  // stops at the terminator, so short lines fail here
            return syntax_error(source_label, " - bad or missing hash field for line:", line);
    quon_string_buffer hash;
    const char* hash_end = p;
    while (!is_token_end(*hash_end))
        hash_end++;
    hash.append_range(p, hash_end);

    const char* size_token = next_arg(p);
    int size = 0;
    if (!size_token || !parse_int(size_token, &size))
        return syntax_error(source_label, " - bad or missing file size for line:", line);

    const char* name = next_arg(size_token);
    if (!name)
        return syntax_error(source_label, " - missing file name for line:", line);

    *entry = new zel_file_manifest_entry(name, hash.c_str(), size);
    return 1;
}

bool zel_manifest_name_is_safe(const char* name)
{
    if (!name || !*name)
        return false;
    const char* component = name;
    for (const char* p = name;; p++) {
        unsigned char c = (unsigned char)*p;
        if (c != 0 && (c < 32 || c == 127))
            return false;
        if (c == 0 || c == '/' || c == '\\') {
            if (p - component == 2 && component[0] == '.' && component[1] == '.')
                return false;
            if (c == 0)
                return true;
            component = p + 1;
        }
    }
}

zel_file_manifest::zel_file_manifest() : head_(nullptr) {}

zel_file_manifest::~zel_file_manifest()
{
    clear();
}

void zel_file_manifest::clear()
{
    index_.clear();
    while (head_) {
        zel_file_manifest_entry* next = head_->next;
        delete head_;
        head_ = next;
    }
}

int zel_file_manifest::count() const
{
    int total = 0;
    for (zel_file_manifest_entry* entry = head_; entry; entry = entry->next)
        total++;
    return total;
}

int zel_file_manifest::load_file(const char* path)
{
    FILE* file = quon_fopen(path, "rb");
    if (!file)
        return -1;
    zel_file_manifest_entry** tail = &head_;
    while (*tail)
        tail = &(*tail)->next;
    char line[manifest_line_buffer_size];
    int appended = 0;
    while (fget_line(file, line, sizeof(line)) > 0) {
        zel_file_manifest_entry* entry = nullptr;
        if (!parse_manifest_line("file manifest", line, &entry)) {
            quon_fclose(file);
            return -1;
        }
        if (!entry)
            continue;
        *tail = entry;
        tail = &entry->next;
        // A duplicate name is refused (and reported) by the index; the
        // entry stays in the list so that saving writes it back.
        index_.add(entry, entry->name);
        appended++;
    }
    quon_fclose(file);
    return appended;
}

int zel_file_manifest::save_file(const char* path)
{
    quon_string_buffer temporary;
    FILE* file = nullptr;
    if (path)
        file = quon_open_replacement(path, temporary);
    if (file) {
        fputs(manifest_header, file);
        for (zel_file_manifest_entry* entry = head_; entry; entry = entry->next) {
            int hash_length = (int)strlen(entry->hash);
            if (hash_length < hash_expected_minimum) {
                quon_string_buffer warning;
                warning.append("Error in zel_file_manifest::save_file(), file '");
                warning.append(entry->name);
                warning.append("' had short hash len of ");
                warning.append_int(hash_length);
                warning.append(".\n");
                quon_log(warning.c_str(), QUON_LOG_FWARN, QUON_UPDATER);
            }
            fprintf(file, "%s %10d %s\n", entry->hash, (int)entry->size, entry->name);
        }
        if (quon_commit_replacement(file, temporary.c_str(), path))
            return 1;
    }
    quon_string_buffer message;
    message.append("Error in zel_file_manifest::save_file() - unable to save file '");
    message.append(path);
    message.append("'.");
    quon_log(message.c_str(), QUON_LOG_FERR, QUON_UPDATER);
    return 0;
}

zel_file_manifest_entry* zel_file_manifest::find_entry(const char* name) const
{
    return (zel_file_manifest_entry*)index_.find(name);
}

void zel_file_manifest::add_or_update(const zel_file_manifest_entry* entry)
{
    zel_file_manifest_entry* existing = find_entry(entry->name);
    if (existing) {
        existing->set_hash(entry->hash);
        existing->size = entry->size;
        return;
    }
    zel_file_manifest_entry* added = new zel_file_manifest_entry(entry->name, entry->hash, entry->size);
    added->next = head_;
    head_ = added;
    index_.add(added, added->name);
}

int zel_file_manifest::remove_missing_files(const char* directory)
{
    int kept = 0;
    quon_string_buffer path;
    for (zel_file_manifest_entry** link = &head_; *link;) {
        zel_file_manifest_entry* entry = *link;
        zel_join_path(path, directory, entry->name);
        quon_file_info info;
        bool present = quon_filename_get_file_info(path.c_str(), &info) && info.is_regular_file &&
                       info.size == (int64_t)entry->size;
        if (present) {
            kept++;
            link = &entry->next;
            continue;
        }
        *link = entry->next;
        // Only drop the index slot when it points at this entry: a later
        // duplicate of a name is listed but not indexed.
        if (index_.find(entry->name) == entry)
            index_.remove(entry->name);
        delete entry;
    }
    return kept;
}

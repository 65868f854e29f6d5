#ifndef BRIMVALE_BASE_FILE_UTILS_H
#define BRIMVALE_BASE_FILE_UTILS_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "base/string_buffer.h"

// Thin POSIX file helpers. They keep no state, report only misuse (a null
// path or record, as sanity under quon_core) and leave a failed system
// call's code in errno for the caller. Every descriptor they open is
// close-on-exec, so the client the launcher execs inherits none of them.

// What stat() says about a path (symbolic links followed). A path that is
// neither a regular file nor a directory has both flags 0.
struct quon_file_info {
    int is_directory;
    int is_regular_file;
    int64_t size;               // bytes, as the file system reports it
    int64_t modification_time;  // whole seconds since the Unix epoch
};

// fopen(path, mode) with the file opened close-on-exec. Null on failure.
FILE* quon_fopen(const char* path, const char* mode);
// fclose; a null file is ignored.
void quon_fclose(FILE* file);

// Reads one line into buffer (capacity bytes, terminator included). A line
// ends at "\n", "\r", a NUL byte or the end of the file; the ending is
// consumed and not stored, so CR LF reads as a line and an empty line.
// Characters beyond capacity - 1 are read and dropped, and a line that fills
// the buffer is reported (softfail, quon_core, two messages). Returns 0 at
// the end of the file (buffer untouched), else the stored length plus 1.
int fget_line(FILE* file, char* buffer, int capacity);

// Creates every directory named before a separator ("/" or "\") in path,
// with mode; the text after the last separator is a file name and is never
// created, so pass "dir/" to create dir itself. Existing entries count as
// created. 1 on success; 0 on failure, with the path that failed appended
// to error when one is given (ENAMETOOLONG when a path would not fit in a
// string buffer).
int quon_recursive_mkdir(const char* path, int mode, quon_string_buffer* error = nullptr);

// Creates the directory path and its parents (always mode 0700; mode is
// ignored) and proves it writable by creating and removing a probe file
// "xx??????.qqq" in it. An empty path means the working directory. 1 when
// usable; 0 otherwise, with the failing path appended to error when given.
// The probe never replaces or follows an existing entry.
int quon_create_and_check_writeable_directory(const char* path, int mode, quon_string_buffer* error = nullptr);

// unlink(path): 0 on success, -1 on failure.
int quon_unlink(const char* path);

// Opens path (created 0600) and takes an exclusive lockf() lock on the
// whole file without waiting. Returns the descriptor, which holds the lock
// until quon_unlock_file, the process ending or an exec; -1 when another
// process holds the lock or the file cannot be opened. The lock belongs to
// the process: a second call from the same process succeeds, and closing
// any descriptor of the file in this process drops it.
int quon_lock_file(const char* path);
// Whether any process at all could hold that lock: it needs the file open
// for writing, which a read-only file system, a file without write
// permission or, for a missing file, a directory that cannot take it
// refuses to every process alike. 1 when one could (so a failed
// quon_lock_file means another holds it), 0 when none can.
int quon_file_lockable(const char* path);
// Releases the lock and closes descriptor. 1 when the unlock succeeded,
// 0 for a negative descriptor or a failed unlock. The caller's copy of the
// descriptor is left as it was and must not be used again.
int quon_unlock_file(int descriptor);

// Fills info and returns 1 when path exists; 0 (info untouched) otherwise.
int quon_filename_get_file_info(const char* path, quon_file_info* info);

// getcwd and chdir, results unchanged.
char* quon_getcwd(char* buffer, size_t size);
int quon_chdir(const char* path);

// Durable replacement of a whole file: write the new version into the file
// quon_open_replacement returns, then hand it to quon_commit_replacement.
// Until the commit succeeds, path keeps its old content whatever happens
// (crash, full disk); a crash before the commit may leave the temporary
// behind.
//
// Creates a new, empty temporary file beside path (path + ".tmp-" and six
// random characters, mode 0644 less the umask, close-on-exec) and stores
// its name in temporary_path. Null on failure, with temporary_path empty
// and nothing created.
FILE* quon_open_replacement(const char* path, quon_string_buffer& temporary_path);
// A path that exists but may not be written (access W_OK) is refused too,
// as an in-place rewrite would be.
//
// Flushes, fsyncs and closes file, renames temporary_path over path and
// fsyncs the directory, checking each step. Always closes file. 1 when path
// holds the new content durably. 0 on any failure, with the temporary
// removed: path then still holds its old content, except when only the
// final directory sync failed, where path already holds the new content
// but may lose it in a crash. errno tells the step's error.
int quon_commit_replacement(FILE* file, const char* temporary_path, const char* path);
// fsyncs the directory holding path ("." for a bare name), making a rename
// or creation in it durable. 1 on success, also when the file system cannot
// sync directories; 0 on failure.
int quon_fsync_directory_of(const char* path);
// Closes file and removes the temporary without touching path.
void quon_abandon_replacement(FILE* file, const char* temporary_path);
// fsyncs the file at path (its data reaches the disk before, say, a rename
// makes it visible under its final name). 1 on success, 0 on failure.
int quon_fsync_path(const char* path);
// Flushes file's buffer and asks the kernel to start writing the bytes
// [offset, offset + length) to the disk now, without waiting for them: a
// long file being written then reaches the disk as it grows, and a later
// fsync has little left to do. Only a hint: 1 when it was given, 0 when the
// flush failed (the stream's error then shows at the next write or close)
// or the file system takes no such hint, which changes nothing else.
int quon_start_writeback(FILE* file, int64_t offset, int64_t length);

#endif

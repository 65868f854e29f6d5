#ifndef BRIMVALE_TESTS_SUPPORT_TEST_SUPPORT_H
#define BRIMVALE_TESTS_SUPPORT_TEST_SUPPORT_H

#include <string>

// A fresh directory under TMPDIR (or /tmp), removed with everything in it
// when the object goes.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sends the process log into a private file for the life of the object,
// without the destination-change warnings, and reads back what was logged.
class log_capture {
public:
    log_capture();
    ~log_capture();
    log_capture(const log_capture&) = delete;
    log_capture& operator=(const log_capture&) = delete;

    std::string text() const;
    void clear();
    // Number of times needle occurs in what was logged so far.
    int count(const std::string& needle) const;
    bool contains(const std::string& needle) const { return count(needle) > 0; }

private:
    temp_dir dir_;
    std::string path_;
    long offset_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

#endif

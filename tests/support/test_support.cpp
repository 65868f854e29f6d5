#include "tests/support/test_support.h"

#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "base/log.h"

temp_dir::temp_dir()
{
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/brimvale-test-XXXXXX";
    char* made = mkdtemp(&pattern[0]);
    if (!made)
        ADD_FAILURE() << "mkdtemp failed for " << pattern;
    path_ = pattern;
}

temp_dir::~temp_dir()
{
    if (path_.empty())
        return;
    // Tests make directories read-only on purpose; give them back first.
    std::string command = "chmod -R u+rwx '" + path_ + "' 2>/dev/null; rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", path_.c_str());
}

log_capture::log_capture() : path_(dir_.file("log.txt")), offset_(0)
{
    quon_global_logfile().set_announce(0);
    quon_global_logfile().open(path_.c_str());
}

log_capture::~log_capture()
{
    quon_global_logfile().open(nullptr);
    quon_global_logfile().set_announce(1);
}

std::string log_capture::text() const
{
    std::string all = read_file(path_);
    return offset_ <= (long)all.size() ? all.substr(offset_) : std::string();
}

void log_capture::clear()
{
    offset_ = (long)read_file(path_).size();
}

int log_capture::count(const std::string& needle) const
{
    std::string all = text();
    int found = 0;
    for (size_t at = all.find(needle); !needle.empty() && at != std::string::npos; at = all.find(needle, at + 1))
        found++;
    return found;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool file_exists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

#ifndef BRIMVALE_TESTS_NET_TLS_FIXTURE_H
#define BRIMVALE_TESTS_NET_TLS_FIXTURE_H

#include <stdlib.h>
#include <string>

// The throw-away PKI of make_test_pki.sh, made in dir at test time (see the
// script for the files). True when every file was made; the openssl
// command's output goes to dir/pki.log.
inline bool make_test_pki(const std::string& dir)
{
    std::string here = __FILE__;
    std::string script = here.substr(0, here.rfind('/') + 1) + "make_test_pki.sh";
    std::string command = "sh '" + script + "' '" + dir + "' >'" + dir + "/pki.log' 2>&1";
    return system(command.c_str()) == 0;
}

#endif

// The C++ library's throw helpers, as the installer program links them. The
// library's own construct std::length_error and its kin, whose message
// member brings a second, copy-on-write std::string implementation and the
// rest of <stdexcept> into the stub: some 48 KB. Nothing in the installer
// catches these by type (a catch (...) at most; otherwise they end the
// program), so an exception carrying the same message behaves the same.
//
// Linked into the installer only, never into the core library: a program
// that also needs a helper not defined here (the tests' streams do) gets the
// library's whole set, and the linker reports the two definitions. Add the
// missing helper here when the installer comes to need it.
#include <bits/functexcept.h>
#include <exception>
#include <new>

namespace {

class LibraryError : public std::exception {
public:
    explicit LibraryError(const char* what) : m_pWhat(what) {}
    const char* what() const noexcept override { return m_pWhat; }

private:
    const char* m_pWhat;
};

}    // namespace

namespace std {

void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_logic_error(const char* what) { throw LibraryError(what); }
void __throw_length_error(const char* what) { throw LibraryError(what); }
void __throw_invalid_argument(const char* what) { throw LibraryError(what); }
void __throw_out_of_range(const char* what) { throw LibraryError(what); }
// The format's values are left out: formatting them is what the library's
// version needs its own printf for.
void __throw_out_of_range_fmt(const char* format, ...) { throw LibraryError(format); }

}    // namespace std

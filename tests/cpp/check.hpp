// A minimal test harness: TEST(name) { CHECK(...); CHECK_EQ(a, b); } and a
// main() that runs every registered test, prints a summary line and returns
// non-zero on any failure.
#pragma once

#include <cstdio>
#include <exception>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace qortest {

struct Case {
    const char* name;
    std::function<void()> fn;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures() {
    static int n = 0;
    return n;
}

struct Register {
    Register(const char* name, std::function<void()> fn) { registry().push_back({name, std::move(fn)}); }
};

inline void fail(const char* file, int line, const std::string& what) {
    ++failures();
    std::fprintf(stderr, "%s:%d: FAILED: %s\n", file, line, what.c_str());
}

template <class A, class B>
std::string describe(const char* ea, const char* eb, const A& a, const B& b) {
    std::ostringstream os;
    os << ea << " == " << eb << " (" << a << " vs " << b << ")";
    return os.str();
}

}  // namespace qortest

#define QT_CAT2(a, b) a##b
#define QT_CAT(a, b) QT_CAT2(a, b)
#define TEST(name)                                                              \
    static void QT_CAT(test_, name)();                                          \
    static ::qortest::Register QT_CAT(reg_, name)(#name, &QT_CAT(test_, name)); \
    static void QT_CAT(test_, name)()

#define CHECK(cond)                                              \
    do {                                                         \
        if (!(cond)) ::qortest::fail(__FILE__, __LINE__, #cond); \
    } while (0)

#define CHECK_EQ(a, b)                                                                                     \
    do {                                                                                                   \
        /* copies: an operand may refer into a temporary of the full expression */                         \
        const auto qt_a = (a);                                                                             \
        const auto qt_b = (b);                                                                             \
        if (!(qt_a == qt_b)) ::qortest::fail(__FILE__, __LINE__, ::qortest::describe(#a, #b, qt_a, qt_b)); \
    } while (0)

// CHECK_THROWS(expr, ExceptionType, "message prefix")
#define CHECK_THROWS(expr, type, prefix)                                                     \
    do {                                                                                     \
        bool qt_thrown = false;                                                              \
        try {                                                                                \
            (void)(expr);                                                                    \
        } catch (const type& qt_e) {                                                         \
            qt_thrown = true;                                                                \
            if (std::string(qt_e.what()).rfind(prefix, 0) != 0)                              \
                ::qortest::fail(__FILE__, __LINE__, std::string("message: ") + qt_e.what()); \
        }                                                                                    \
        if (!qt_thrown) ::qortest::fail(__FILE__, __LINE__, "no " #type " from " #expr);     \
    } while (0)

#define QORTEST_MAIN()                                                                           \
    int main() {                                                                                 \
        int passed = 0, failed = 0;                                                              \
        for (auto& c : ::qortest::registry()) {                                                  \
            const int before = ::qortest::failures();                                            \
            try {                                                                                \
                c.fn();                                                                          \
            } catch (const std::exception& e) {                                                  \
                ::qortest::fail(__FILE__, __LINE__, std::string(c.name) + " threw " + e.what()); \
            }                                                                                    \
            if (::qortest::failures() == before)                                                 \
                ++passed;                                                                        \
            else {                                                                               \
                ++failed;                                                                        \
                std::fprintf(stderr, "  in %s\n", c.name);                                       \
            }                                                                                    \
        }                                                                                        \
        std::printf("%d passed, %d failed\n", passed, failed);                                   \
        return failed == 0 ? 0 : 1;                                                              \
    }

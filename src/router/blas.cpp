#include "router/blas.hpp"

#include <cblas.h>

#include <algorithm>
#include <climits>
#include <string>

#include "common/errors.hpp"

namespace qor {

namespace {

// OpenBLAS would otherwise start its own thread team beside our pool; one
// thread per call keeps the product on the caller and its result fixed.
void pin_blas_to_one_thread() {
    static const bool done = [] {
        scipy_openblas_set_num_threads(1);
        return true;
    }();
    (void)done;
}

void check_blas_size(const char* what, uint64_t value) {
    if (value > static_cast<uint64_t>(INT_MAX))
        throw InternalFailure(std::string("similarity product: ") + what + " " + std::to_string(value) +
                              " exceeds the BLAS limit " + std::to_string(INT_MAX));
}

}  // namespace

void sgemm_abt(const float* a, uint64_t q, const float* b, uint64_t n, uint64_t k, float* out) {
    if (q == 0 || n == 0) return;
    if (k == 0) {
        // A product over an empty inner dimension is all zeros; BLAS
        // implementations disagree on whether they accept lda = 0.
        std::fill(out, out + q * n, 0.0f);
        return;
    }
    check_blas_size("rows", q);
    check_blas_size("centroids", n);
    check_blas_size("dimension", k);
    pin_blas_to_one_thread();
    scipy_cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<blasint>(q), static_cast<blasint>(n),
                      static_cast<blasint>(k), 1.0f, a, static_cast<blasint>(k), b, static_cast<blasint>(k), 0.0f,
                      out, static_cast<blasint>(n));
}

}  // namespace qor

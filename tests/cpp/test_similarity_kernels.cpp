// The similarity product: every instruction-set kernel against the scalar
// one bit for bit, the scalar one against the written-out definition, the
// code-major layout around the values, and independence from the pool size.
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "parallel/thread_pool.hpp"
#include "router/similarity.hpp"
#include "test_rows.hpp"

namespace {

using qor::parallel::Isa;

const float INF = std::numeric_limits<float>::infinity();
const float NaN = std::numeric_limits<float>::quiet_NaN();

using qortest::same_bits;

using qortest::kernel_values;

// The definition, read straight from the row-major operands.
float definition(const float* x, const float* c, std::size_t dim) {
    float acc = 0.0f;
    for (std::size_t p = 0; p < dim; ++p) {
        const float product = x[p] * c[p];
        acc = acc + product;
    }
    return acc;
}

std::vector<float> product(const std::vector<float>& query, std::size_t q, const std::vector<float>& cents,
                           std::size_t n, std::size_t dim, qor::SimilarityKernel kernel) {
    std::vector<float> out((n + 1) * qor::code_major_stride(q), 12345.0f);
    qor::similarity_code_major(query.data(), q, cents.data(), n, dim, out.data(), kernel);
    return out;
}

}  // namespace

TEST(every_kernel_gives_the_definition_bit_for_bit) {
    std::mt19937 rng(11);
    std::vector<qor::SimilarityKernel> kernels{&qor::similarity_rows_scalar};
    for (const Isa isa : {Isa::Avx2, Isa::Avx512})
        if (qor::parallel::isa_supported(isa)) kernels.push_back(qor::similarity_kernel_for(isa));
    std::vector<std::size_t> dims;
    for (std::size_t d = 1; d <= 17; ++d) dims.push_back(d);
    for (const std::size_t d : {31, 33, 97, 128}) dims.push_back(d);
    // Query rows and centroid counts around every lane width, row strip and
    // centroid block of the kernels.
    for (const std::size_t dim : dims)
        for (const std::size_t q : {1, 7, 16, 17, 33, 50})
            for (const std::size_t n : {1, 5, 13, 29})
                for (const bool specials : {false, true}) {
                    const std::vector<float> query = kernel_values(q * dim, rng, specials);
                    const std::vector<float> cents = kernel_values(n * dim, rng, specials);
                    const std::size_t stride = qor::code_major_stride(q);
                    for (const qor::SimilarityKernel kernel : kernels) {
                        const std::vector<float> out = product(query, q, cents, n, dim, kernel);
                        int wrong = 0;
                        for (std::size_t c = 0; c <= n; ++c)
                            for (std::size_t j = 0; j < stride; ++j) {
                                const float want = c < n && j < q
                                                       ? definition(&query[j * dim], &cents[c * dim], dim)
                                                       : -INF;  // padding lanes and the extra row
                                wrong += !same_bits(out[c * stride + j], want);
                            }
                        if (wrong != 0)
                            ::qortest::fail(__FILE__, __LINE__,
                                            std::to_string(wrong) + " entries differ at dim " +
                                                std::to_string(dim) + ", q " + std::to_string(q) + ", n " +
                                                std::to_string(n));
                    }
                }
}

TEST(empty_shapes) {
    const std::vector<float> cents{1.0f, 2.0f, 3.0f};
    // No dimensions: every similarity is +0.
    std::vector<float> out(4 * 16, NaN);
    qor::similarity_code_major(nullptr, 2, cents.data(), 3, 0, out.data());
    for (std::size_t c = 0; c < 3; ++c) {
        CHECK_EQ(std::bit_cast<uint32_t>(out[c * 16]), 0u);
        CHECK_EQ(std::bit_cast<uint32_t>(out[c * 16 + 1]), 0u);
        CHECK_EQ(out[c * 16 + 2], -INF);
    }
    CHECK_EQ(out[3 * 16 + 15], -INF);
    // No query rows: a zero stride, nothing written.
    float untouched = 7.0f;
    qor::similarity_code_major(nullptr, 0, cents.data(), 3, 1, &untouched);
    CHECK_EQ(untouched, 7.0f);
}

TEST(large_products_do_not_depend_on_the_pool_size) {
    // Many centroids (tasks split by centroid, a count that is no multiple
    // of any block), then a tall query (tasks split by rows as well, the
    // last row range short).
    struct Shape {
        std::size_t q, n, dim;
    };
    std::mt19937 rng(5);
    for (const Shape s : {Shape{40, 3001, 33}, Shape{1100, 37, 7}}) {
        const std::vector<float> query = kernel_values(s.q * s.dim, rng, false);
        const std::vector<float> cents = kernel_values(s.n * s.dim, rng, false);
        const std::size_t stride = qor::code_major_stride(s.q);
        std::vector<float> want((s.n + 1) * stride, -INF);
        for (std::size_t c = 0; c < s.n; ++c)
            for (std::size_t j = 0; j < s.q; ++j)
                want[c * stride + j] = definition(&query[j * s.dim], &cents[c * s.dim], s.dim);
        for (const qor::SimilarityKernel kernel : {&qor::similarity_rows_scalar, qor::similarity_kernel()})
            for (const std::size_t threads : {1, 3}) {
                qor::parallel::ThreadPool pool(threads);
                qor::parallel::ScopedPool scope(pool);
                const std::vector<float> got = product(query, s.q, cents, s.n, s.dim, kernel);
                std::size_t wrong = 0;
                for (std::size_t i = 0; i < got.size(); ++i) wrong += !same_bits(got[i], want[i]);
                CHECK_EQ(wrong, std::size_t{0});
            }
    }
}

QORTEST_MAIN()

#include "engine/cpu/numeric/ops/matmul.hpp"

#include <cblas.h>

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "engine/cpu/error.hpp"
#include "engine/cpu/loop.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace zevra {
namespace {

constexpr auto kBlasMax = static_cast<std::size_t>(std::numeric_limits<blasint>::max());

// Below this many multiply-adds a product costs less computed in place than the fixed
// overhead of a BLAS call (about 75 ns), which dominates big batches of tiny matrices.
constexpr std::size_t kDirectProduct = 64;

// A strided matrix: element (i, j) at data[i * rs + j * cs].
struct MatrixLayout {
  std::size_t rows, cols;
  std::ptrdiff_t rs, cs;
};

// How a matrix reaches the row-major BLAS interface.
struct BlasForm {
  CBLAS_TRANSPOSE trans;
  blasint ld;
};

// The leading dimension of a matrix whose `inner` axis is contiguous and whose `outer` axis
// steps by `outer_stride`, if BLAS can take it: strides of extent-1 axes do not matter, and BLAS
// wants at least max(1, inner).
std::optional<blasint> leading_dimension(std::size_t outer, std::ptrdiff_t outer_stride,
                                         std::size_t inner, std::ptrdiff_t inner_stride) {
  if (inner > 1 && inner_stride != 1) return std::nullopt;
  auto min_ld = static_cast<std::ptrdiff_t>(std::max<std::size_t>(1, inner));
  std::ptrdiff_t ld = outer > 1 ? outer_stride : min_ld;
  if (ld < min_ld || static_cast<std::size_t>(ld) > kBlasMax) return std::nullopt;
  return static_cast<blasint>(ld);
}

// Column stride 1 is the plain form with the row stride as leading dimension; row stride 1 the
// transposed form with the column stride as leading dimension; anything else needs a copy.
std::optional<BlasForm> blas_form(const MatrixLayout& x) {
  if (auto ld = leading_dimension(x.rows, x.rs, x.cols, x.cs)) return BlasForm{CblasNoTrans, *ld};
  if (auto ld = leading_dimension(x.cols, x.cs, x.rows, x.rs)) return BlasForm{CblasTrans, *ld};
  return std::nullopt;
}

// One side of the products: a matrix BLAS reads where it lies, or, when neither stride is 1,
// a packed row-major copy (kept while consecutive products read the same matrix, as along a
// broadcast batch axis).
class GemmOperand {
 public:
  explicit GemmOperand(MatrixLayout layout) : layout_(layout), form_(blas_form(layout)) {}

  std::pair<const float*, BlasForm> prepare(const float* p) {
    if (form_) return {p, *form_};
    if (p != packed_from_) {
      packed_.resize(layout_.rows * layout_.cols);
      for (std::size_t i = 0; i < layout_.rows; ++i)
        for (std::size_t j = 0; j < layout_.cols; ++j)
          packed_[i * layout_.cols + j] =
              p[std::ptrdiff_t(i) * layout_.rs + std::ptrdiff_t(j) * layout_.cs];
      packed_from_ = p;
    }
    return {packed_.data(),
            BlasForm{CblasNoTrans, static_cast<blasint>(std::max<std::size_t>(1, layout_.cols))}};
  }

 private:
  MatrixLayout layout_;
  std::optional<BlasForm> form_;
  std::vector<float> packed_;
  const float* packed_from_ = nullptr;
};

// c (m x n, row-major) = a (m x k) * b (k x n), summed in order of k.
void direct_product(const float* a, const MatrixLayout& al, const float* b, const MatrixLayout& bl,
                    float* c) {
  for (std::size_t i = 0; i < al.rows; ++i)
    for (std::size_t j = 0; j < bl.cols; ++j) {
      float sum = 0.0f;
      for (std::size_t p = 0; p < al.cols; ++p)
        sum += a[std::ptrdiff_t(i) * al.rs + std::ptrdiff_t(p) * al.cs] *
               b[std::ptrdiff_t(p) * bl.rs + std::ptrdiff_t(j) * bl.cs];
      c[i * bl.cols + j] = sum;
    }
}

// Fills `out` (row-major, shape batch ++ [m, n]) with the products of the matrices of `a`
// (batch ++ [m, k]) and `b` (batch ++ [k, n]), given as first elements and strides (zero along
// broadcast batch axes); the batch positions are visited in row-major order.
void batched_products(NdArray<float>& out, const float* a, std::span<const std::ptrdiff_t> sa,
                      const float* b, std::span<const std::ptrdiff_t> sb, std::size_t k) {
  const std::size_t nd = out.ndim();
  const std::size_t m = out.shape[nd - 2], n = out.shape[nd - 1];
  if (out.size() == 0) return;
  if (k == 0) {
    std::fill_n(out.data, out.size(), 0.0f);
    return;
  }
  // Trailing batch axes along which b stays the same and a's matrices follow each other at
  // its row stride fold into the rows of one bigger product (the output is row-major, so its
  // slices always follow each other).
  std::size_t rows = m, nloop = nd - 2;
  std::ptrdiff_t row_stride = sa[nd - 2];
  for (; nloop > 0; --nloop) {
    const std::size_t i = nloop - 1, d = out.shape[i];
    if (d == 1) continue;
    if (sb[i] != 0) break;
    if (rows == 1)
      row_stride = sa[i];
    else if (sa[i] != row_stride * std::ptrdiff_t(rows))
      break;
    rows *= d;
  }
  const MatrixLayout al{rows, k, row_stride, sa[nd - 1]};
  const MatrixLayout bl{k, n, sb[nd - 2], sb[nd - 1]};
  // Tiny products, and extents beyond BLAS's integers, are computed in place.
  const bool direct = (rows <= kDirectProduct && k <= kDirectProduct && n <= kDirectProduct &&
                       rows * k * n <= kDirectProduct) ||
                      rows > kBlasMax || k > kBlasMax || n > kBlasMax;
  GemmOperand ga(al), gb(bl);
  auto product = [&](const float* pa, const float* pb, float* pc) {
    if (direct) return direct_product(pa, al, pb, bl, pc);
    auto [ap, af] = ga.prepare(pa);
    auto [bp, bf] = gb.prepare(pb);
    cblas_sgemm(CblasRowMajor, af.trans, bf.trans, blasint(rows), blasint(n), blasint(k), 1.0f, ap,
                af.ld, bp, bf.ld, 0.0f, pc, blasint(n));
  };

  // Walk the remaining batch axes as an odometer, last axis fastest.
  std::vector<std::size_t> index(nloop, 0);
  std::ptrdiff_t oa = 0, ob = 0;
  const std::size_t slice = rows * n;
  const std::size_t slices = out.size() / slice;
  for (std::size_t s = 0; s < slices; ++s) {
    product(a + oa, b + ob, out.data + s * slice);
    for (std::size_t i = nloop; i-- > 0;) {
      oa += sa[i];
      ob += sb[i];
      if (++index[i] < out.shape[i]) break;
      oa -= sa[i] * std::ptrdiff_t(index[i]);
      ob -= sb[i] * std::ptrdiff_t(index[i]);
      index[i] = 0;
    }
  }
}

// A float32 copy of a 16-bit array, exact; it keeps the array's layout when that is one dense
// block, so the conversion runs in memory order and the product reads the same strides.
template <class T>
NdArray<float> widen(const NdArray<T>& x) {
  NdArray<float> w = is_dense(x.shape, x.strides) ? NdArray<float>::with_layout(x.shape, x.strides)
                                                  : NdArray<float>::row_major(x.shape);
  convert<float, T>(x.shape, output(w), input(x));
  return w;
}

}  // namespace

std::expected<NdArray<float>, std::string> internal_linalg_matmul(const NdArray<float>& a,
                                                                  const NdArray<float>& b) {
  if (a.ndim() < 2 || b.ndim() < 2)
    return std::unexpected("Matmul requires at least 2D tensors. A: " + std::to_string(a.ndim()) +
                           "D, B: " + std::to_string(b.ndim()) + "D");
  const std::size_t m = a.shape[a.ndim() - 2], k = a.shape[a.ndim() - 1];
  const std::size_t k2 = b.shape[b.ndim() - 2], n = b.shape[b.ndim() - 1];
  if (k != k2)
    return std::unexpected("Matrix inner dimensions mismatch for matmul: " + std::to_string(k) +
                           " vs " + std::to_string(k2));
  auto batch = broadcast_shapes(std::span(a.shape).first(a.ndim() - 2),
                                std::span(b.shape).first(b.ndim() - 2));
  if (!batch) return std::unexpected(std::move(batch.error()));

  auto with_matrix = [&](std::size_t rows, std::size_t cols) {
    Shape s = *batch;
    s.push_back(rows);
    s.push_back(cols);
    return s;
  };
  const Shape a_target = with_matrix(m, k), b_target = with_matrix(k, n);
  std::optional<Strides> sa = expand_strides(a.shape, a.strides, a_target);
  if (!sa) return std::unexpected("Broadcast failed for A to " + format_shape(a_target));
  std::optional<Strides> sb = expand_strides(b.shape, b.strides, b_target);
  if (!sb) return std::unexpected("Broadcast failed for B to " + format_shape(b_target));

  Shape out_shape = with_matrix(m, n);
  if (!checked_element_count(out_shape))
    fatal("Matmul output shape " + format_shape(out_shape) + " has too many elements");
  auto out = NdArray<float>::row_major(std::move(out_shape));
  batched_products(out, a.data, *sa, b.data, *sb, k);
  return out;
}

template <class T>
std::expected<NdArray<T>, std::string> MatmulOps<T>::do_matmul(const NdArray<T>& a,
                                                               const NdArray<T>& b) {
  if constexpr (std::is_same_v<T, float>) {
    return internal_linalg_matmul(a, b);
  } else {
    auto product = internal_linalg_matmul(widen(a), widen(b));
    if (!product) return std::unexpected(std::move(product.error()));
    auto out = NdArray<T>::row_major(product->shape);
    convert<T, float>(out.shape, output(out), input(*product));
    return out;
  }
}

template struct MatmulOps<f16>;
template struct MatmulOps<bf16>;
template struct MatmulOps<float>;

}  // namespace zevra

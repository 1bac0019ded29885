#pragma once
// Fallible results: tl::expected with a typed error that has a description() text.

#include <tl/expected.hpp>

namespace ferrowin {

template <class T, class E>
using Expected = tl::expected<T, E>;
using tl::make_unexpected;
using tl::unexpected;

}  // namespace ferrowin

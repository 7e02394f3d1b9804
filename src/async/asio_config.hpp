// The one way this project includes asio, so that every file sees one asio configuration.
//
// asio decides at its first inclusion whether the standard library has aligned_alloc, from a
// macro of the library's configuration header. Included before any standard header, it sees no
// such macro and recycles its handler memory with operator new; included after one, with
// aligned_alloc. asio's per-thread cache then frees in one file what another allocated the other
// way. A standard header first makes the choice the same everywhere, and asio must not have been
// included before this file.
//
// asio 1.22 enables coroutines under clang only with libc++'s <experimental/coroutine>; clang
// with libstdc++ has the standard <coroutine> and the compiler support, so tell asio so. (clang
// 14's function sanitizer still cannot emit coroutines, which is why sanitized clang builds leave
// the asynchronous client out.)
#pragma once

#include <cstddef>

#if defined(ASIO_DETAIL_CONFIG_HPP)
#error "asio was included before async/asio_config.hpp"
#endif

#if defined(__clang__) && defined(__cpp_impl_coroutine) && !defined(ASIO_HAS_CO_AWAIT)
#define ASIO_HAS_CO_AWAIT 1
#define ASIO_HAS_STD_COROUTINE 1
#endif

#include <asio.hpp>

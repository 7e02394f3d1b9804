// The one way this project includes asio. asio 1.22 enables coroutines under clang only with
// libc++'s <experimental/coroutine>; clang with libstdc++ has the standard <coroutine> and the
// compiler support, so tell asio so. (clang 14's function sanitizer still cannot emit
// coroutines, which is why sanitized clang builds leave the asynchronous client out.)
#pragma once

#if defined(__clang__) && defined(__cpp_impl_coroutine) && !defined(ASIO_HAS_CO_AWAIT)
#define ASIO_HAS_CO_AWAIT 1
#define ASIO_HAS_STD_COROUTINE 1
#endif

#include <asio.hpp>

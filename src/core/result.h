// The one result type of the project: a value or an error, never an exception.
#pragma once

#include <boost/system/result.hpp>
#include <utility>

namespace qb {

template <class T, class E>
using Result = boost::system::result<T, E>;

}  // namespace qb

// QB_TRY(var, expr): evaluates `expr` (a result); on failure returns its error from the enclosing
// function, otherwise declares `var` holding the value. QB_TRY_VOID(expr) for results without one.
// QB_CO_TRY / QB_CO_TRY_VOID are the same for coroutines (co_return).
#define QB_CONCAT_INNER_(a, b) a##b
#define QB_CONCAT_(a, b) QB_CONCAT_INNER_(a, b)
#define QB_TRY_IMPL_(tmp, var, expr, ret) \
  auto tmp = (expr);                      \
  if (!tmp) ret tmp.error();              \
  var = std::move(*tmp)
#define QB_TRY(var, expr) QB_TRY_IMPL_(QB_CONCAT_(qb_try_, __COUNTER__), var, expr, return )
#define QB_CO_TRY(var, expr) QB_TRY_IMPL_(QB_CONCAT_(qb_try_, __COUNTER__), var, expr, co_return )
#define QB_TRY_VOID(expr)                                              \
  do {                                                                 \
    if (auto qb_try_v_ = (expr); !qb_try_v_) return qb_try_v_.error(); \
  } while (0)
#define QB_CO_TRY_VOID(expr)                                              \
  do {                                                                    \
    if (auto qb_try_v_ = (expr); !qb_try_v_) co_return qb_try_v_.error(); \
  } while (0)

// The one result type of the project: a value or an error, never an exception.
#pragma once

#include <boost/system/result.hpp>

namespace qb {

template <class T, class E>
using Result = boost::system::result<T, E>;

}  // namespace qb

#include "binding/borrow.hpp"

#include "binding/errors.hpp"

namespace corvalex::py {

SharedBorrow SharedBorrow::acquire(BorrowFlag& flag) {
    if (!flag.try_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
    return SharedBorrow(&flag);
}

ExclusiveBorrow ExclusiveBorrow::acquire(BorrowFlag& flag) {
    if (!flag.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
    return ExclusiveBorrow(&flag);
}

}  // namespace corvalex::py

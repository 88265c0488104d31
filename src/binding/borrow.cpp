#include "binding/borrow.hpp"

#include "binding/errors.hpp"

namespace corvalex::py {

template <bool Exclusive>
Borrow<Exclusive> Borrow<Exclusive>::acquire(BorrowFlag& flag) {
    if (!take(flag))
        raise(PyExc_RuntimeError, Exclusive ? "Already borrowed" : "Already mutably borrowed");
    return Borrow(&flag);
}

template class Borrow<false>;
template class Borrow<true>;

}  // namespace corvalex::py

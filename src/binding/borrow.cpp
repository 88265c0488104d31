#include "binding/borrow.hpp"

#include "binding/errors.hpp"

namespace corvalex::py {

template <bool Exclusive>
void Borrow<Exclusive>::refuse() {
    raise(PyExc_RuntimeError, Exclusive ? "Already borrowed" : "Already mutably borrowed");
}

template class Borrow<false>;
template class Borrow<true>;

}  // namespace corvalex::py

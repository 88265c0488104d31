#include "binding/borrow.hpp"

#include "binding/errors.hpp"

namespace corvalex::py {

template <bool Exclusive>
void Borrow<Exclusive>::refuse() {
    py::refuse(Exclusive ? Refusal::Exclusive : Refusal::Shared);
}

template class Borrow<false>;
template class Borrow<true>;

}  // namespace corvalex::py

#include "python/stored_objects.hpp"

namespace corvalex::python {

std::vector<py::Ref> stored_objects(const SharedObjectTable& items, const Bitmap& ids) {
    const std::vector<std::uint32_t> id_list = ids.to_vector();
    std::vector<py::Ref> objects;
    objects.reserve(id_list.size());
    auto table = items->read();
    ObjectTable::Cursor cursor(table->slots());
    for (const std::uint32_t id : id_list)
        if (PyObject* object = cursor.object(id)) objects.push_back(py::Ref::new_reference(object));
    return objects;
}

}  // namespace corvalex::python

// MT940.to_camt: the ISO 20022 documents of a document's statements, with the options
// the caller gives.
#include <string>
#include <string_view>

#include "convert.hpp"
#include "mt940_object.hpp"
#include "py_ref.hpp"
#include "tallyfold/iso20022.hpp"

namespace tallyfold::python {

PyObject* to_camt(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"version", "created", "entry_status", "split_accounts", nullptr};
    const char* version_text = "08";
    PyObject* created = Py_None;
    const char* status_text = "booked";
    int split_accounts = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|sO$sp:to_camt", const_cast<char**>(keywords), &version_text,
                                     &created, &status_text, &split_accounts)) {
      return nullptr;
    }
    const auto version = camt_version_from(version_text);
    if (!version) {
      set_value_error("version must be \"02\", \"06\" or \"08\", not '" + std::string(version_text) + "'");
      return nullptr;
    }
    const auto status = camt_entry_status_from(status_text);
    if (!status) {
      set_value_error("entry_status must be \"booked\" or \"pending\", not '" + std::string(status_text) + "'");
      return nullptr;
    }
    const auto seconds = creation_time(created);
    if (!seconds) return nullptr;
    const CamtOptions options{*version, *seconds, *status};
    if (split_accounts) {
      auto documents = export_camt_per_account(document_of(self).statements, options);
      if (!documents) {
        set_error(documents.error());
        return nullptr;
      }
      PyRef result(PyDict_New());
      if (!result) return nullptr;
      for (const CamtAccountDocument& d : *documents) {
        if (!warn_all(d.document.warnings)) return nullptr;
        PyRef key(to_python(std::string_view(d.account)));
        PyRef value(to_python(std::string_view(d.document.xml)));
        if (!key || !value || PyDict_SetItem(result.get(), key.get(), value.get()) < 0) return nullptr;
      }
      return result.release();
    }
    auto document = export_camt(document_of(self).statements, options);
    if (!document) {
      set_error(document.error());
      return nullptr;
    }
    if (!warn_all(document->warnings)) return nullptr;
    return finish(to_python(std::string_view(document->xml)));
  });
}

}  // namespace tallyfold::python

// tarnwick._scan.decode_chromium: the native Chromium decoders for one value,
// for comparing them with the Python decoders and for trying them on bytes.
#include <cstring>
#include <string>

#include "chromium_decode/dom_storage.hpp"
#include "chromium_decode/idb_key.hpp"
#include "chromium_decode/idb_value.hpp"
#include "chromium_decode/v8_value.hpp"
#include "scan_module/scan_surface.hpp"

namespace tarnwick::scan_py {

namespace {

using chromium::Decoded;

Decoded<std::string> json_of(Decoded<chromium::DecodedValue> v) {
    if (!v) return std::unexpected(std::move(v.error()));
    return std::move(v->json);
}

Decoded<std::string> decode_as(std::string_view kind, Bytes data) {
    if (kind == "v8") return json_of(chromium::decode_v8_value(data));
    if (kind == "ssv") return json_of(chromium::decode_serialized_script_value(data));
    if (kind == "idb_value") {
        auto v = chromium::decode_idb_value(data);
        if (!v) return std::unexpected(std::move(v.error()));
        return chromium::idb_value_json(*v);
    }
    if (kind == "idb_key") return chromium::decode_whole_idb_key(data);
    if (kind == "local_storage") return chromium::decode_local_storage_string(data);
    if (kind == "session_storage_value") return chromium::decode_session_storage_value(data);
    if (kind == "session_storage_key") return chromium::decode_session_storage_key(data);
    return std::unexpected(chromium::DecodeError{"unknown kind " + std::string(kind)});
}

}  // namespace

// decode_chromium(kind, data) -> JSON text; ValueError with the reason when
// the bytes do not decode. Kinds: "v8" (V8 data with its version header),
// "ssv" (Blink's envelope around it), "idb_value" (an IndexedDB record value),
// "idb_key" (an encoded IndexedDB key), "local_storage" (a script key or
// value), "session_storage_key" and "session_storage_value".
PyObject* decode_chromium(PyObject*, PyObject* args) {
    return guarded([&]() -> PyObject* {
        const char* kind = nullptr;
        const char* data = nullptr;
        Py_ssize_t size = 0;
        if (!PyArg_ParseTuple(args, "sy#", &kind, &data, &size)) return nullptr;
        const Bytes bytes(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
        Decoded<std::string> decoded = std::unexpected(chromium::DecodeError{});
        Py_BEGIN_ALLOW_THREADS
        decoded = decode_as(kind, bytes);
        Py_END_ALLOW_THREADS
        if (!decoded) {
            PyErr_SetString(PyExc_ValueError, decoded.error().reason.c_str());
            return nullptr;
        }
        return PyUnicode_FromStringAndSize(decoded->data(), static_cast<Py_ssize_t>(decoded->size()));
    });
}

}  // namespace tarnwick::scan_py

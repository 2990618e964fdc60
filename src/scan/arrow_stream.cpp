#include "scan/arrow_stream.hpp"

#include <cerrno>
#include <string>

#include "scan/arrow_batch.hpp"
#include "scan/record_schema.hpp"

namespace tarnwick {

namespace {

struct StreamState {
    std::shared_ptr<Scanner> scanner;
    std::string last_error;
};

StreamState& state_of(ArrowArrayStream* stream) { return *static_cast<StreamState*>(stream->private_data); }

int get_schema(ArrowArrayStream*, ArrowSchema* out) {
    try {
        export_record_schema(out);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

int get_next(ArrowArrayStream* stream, ArrowArray* out) {
    StreamState& state = state_of(stream);
    try {
        std::unique_ptr<Chunk> chunk = state.scanner->next();
        if (!chunk) {
            state.last_error = state.scanner->failure();
            if (!state.last_error.empty()) return EIO;
            out->release = nullptr;  // the end of the stream
            return 0;
        }
        static_cast<ArrowBatch&>(*chunk).export_to(out);
        return 0;
    } catch (const std::exception& fault) {
        state.last_error = fault.what();
        return ENOMEM;
    }
}

const char* get_last_error(ArrowArrayStream* stream) {
    const std::string& error = state_of(stream).last_error;
    return error.empty() ? nullptr : error.c_str();
}

void release(ArrowArrayStream* stream) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    state->scanner->cancel();
    delete state;
    stream->release = nullptr;
}

}  // namespace

void export_arrow_stream(std::shared_ptr<Scanner> scanner, ArrowArrayStream* out) {
    out->get_schema = get_schema;
    out->get_next = get_next;
    out->get_last_error = get_last_error;
    out->release = release;
    out->private_data = new StreamState{std::move(scanner), {}};
}

}  // namespace tarnwick

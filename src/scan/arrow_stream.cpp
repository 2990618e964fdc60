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
        if (!state.scanner->in_starting_process()) {
            state.last_error = Scanner::FORKED_MESSAGE;
            return EIO;
        }
        std::unique_ptr<Chunk> chunk = state.scanner->next();
        if (!chunk) {
            state.last_error = state.scanner->failure();
            if (!state.last_error.empty()) return state.scanner->failed_for_memory() ? ENOMEM : EIO;
            out->release = nullptr;  // the end of the stream
            return 0;
        }
        static_cast<ArrowBatch&>(*chunk).export_to(out);
        return 0;
    } catch (...) {
        // No exception may leave a C callback; whatever was thrown here was a
        // failed allocation (a batch, its export).
        state.last_error.clear();
        return ENOMEM;
    }
}

const char* get_last_error(ArrowArrayStream* stream) {
    const std::string& error = state_of(stream).last_error;
    return error.empty() ? nullptr : error.c_str();
}

void release(ArrowArrayStream* stream) {
    auto* state = static_cast<StreamState*>(stream->private_data);
    stream->release = nullptr;
    if (!state->scanner->in_starting_process()) {
        // The workers are not in this process: joining them would never end.
        // The scanner is left as it is.
        [[maybe_unused]] auto* kept = new std::shared_ptr<Scanner>(std::move(state->scanner));
        delete state;
        return;
    }
    try {
        state->scanner->cancel();
    } catch (...) {
    }
    delete state;
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

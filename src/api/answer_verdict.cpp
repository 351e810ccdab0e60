#include "api/answer_verdict.h"

#include <optional>
#include <string>

#include "api/json_scan.h"
#include "api/json_text.h"

namespace marnu {
namespace {

// Follows the scan for the document's "data"."status" and keeps nothing else.
class EnvelopeReader {
public:
    bool null() { return value(Kind::other); }
    bool boolean(bool) { return value(Kind::other); }
    bool integer(std::string_view) { return value(Kind::other); }
    bool floating(std::string_view) { return value(Kind::other); }
    bool string(std::string_view text) { return value(text == "1" ? Kind::text_one : Kind::other); }

    bool key(std::string_view name) {
        if (depth_ == 1) named_data_ = name == "data";
        if (depth_ == 2) named_status_ = name == "status";
        return true;
    }

    bool start_object() { return open(Kind::object); }
    bool start_array() { return open(Kind::other); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }

    AnswerVerdict verdict() const {
        if (!top_is_object_ || !data_is_object_ || !status_) return AnswerVerdict::not_envelope;
        return *status_ ? AnswerVerdict::accepted : AnswerVerdict::refused;
    }

private:
    enum class Kind { object, text_one, other };

    // A value at the current depth: the document, a member of the document,
    // or a member of a member.
    bool value(Kind kind) {
        if (depth_ == 0) {
            top_is_object_ = kind == Kind::object;
        } else if (depth_ == 1 && named_data_) {
            data_is_object_ = kind == Kind::object;
            status_.reset();
        } else if (depth_ == 2 && in_data_ && named_status_) {
            status_ = kind == Kind::text_one;
        }
        return true;
    }

    bool open(Kind kind) {
        value(kind);
        // Member names at depth 1 come only in the document's object.
        if (depth_ == 1) in_data_ = named_data_ && kind == Kind::object;
        ++depth_;
        return true;
    }

    bool close() {
        --depth_;
        return true;
    }

    int depth_ = 0;  // containers open
    bool top_is_object_ = false;
    bool named_data_ = false;    // the member of the document that comes next is "data"
    bool named_status_ = false;  // the member at depth 2 that comes next is "status"
    bool in_data_ = false;       // the container open at depth 2 is the "data" object
    bool data_is_object_ = false;
    std::optional<bool> status_;  // whether "data"."status" is the text "1"
};

}  // namespace

AnswerVerdict answer_verdict(std::string_view body) {
    const std::optional<std::string> text = json_text_as_utf8(body);
    EnvelopeReader reader;
    if (!text || !scan_json(*text, reader)) return AnswerVerdict::not_json;
    return reader.verdict();
}

}  // namespace marnu

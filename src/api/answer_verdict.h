// What an answer of the provider says about the request, read from its
// bytes. Free of Python.
#pragma once

#include <string_view>

namespace marnu {

enum class AnswerVerdict {
    not_json,       // a key bundle or an error page: it goes back as it is
    accepted,       // JSON whose "data"."status" is the text "1"
    refused,        // JSON whose "data"."status" is anything else
    not_envelope,   // JSON without an object "data" holding "status"
};

// A JSON answer is read as json.loads and a lookup of ["data"]["status"]
// would read it: a repeated member counts with its last value.
AnswerVerdict answer_verdict(std::string_view body);

}  // namespace marnu

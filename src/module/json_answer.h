// The provider's JSON answers, decoded by Python's own json module.
#pragma once

#include <optional>

#include "module/python.h"

namespace marnu {

// The JSON document in an answer: bytes or bytearray in UTF-8, UTF-16 or
// UTF-32 (told apart as json.loads tells them), or str. Nothing when the
// answer is not a JSON text, nor when it is one only by json.loads' leniency:
// NaN and Infinity, or strings holding lone surrogates.
std::optional<py::object> decode_json(py::handle answer);

// Keeps what send_to_api decoded of the answer it returns (nothing: keeps
// nothing), so that the operation that reads the answer next need not decode
// it again.
void remember_decoded(py::handle answer, std::optional<py::object> document);

// An answer decoded for get_token and get_servers: what send_to_api kept of
// this very object, else decoded now. TypeError for a type that cannot hold
// JSON, ValueError when it is not a JSON text.
py::object decoded_answer(py::handle answer);

}  // namespace marnu

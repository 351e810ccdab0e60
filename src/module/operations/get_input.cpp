// get_input(choices): insists on a number from 1 to `choices`.
#include "client/menu_choice.h"
#include "module/console.h"
#include "module/operations.h"

namespace marnu::ops {

py::object get_input(py::object choices) {
    if (!py::isinstance<py::int_>(choices)) raise(PyExc_TypeError, "choices must be an integer");
    const long long highest = choices.cast<long long>();
    for (;;) {
        const std::string line = to_utf8(console::read_line("\n>> "));
        if (const auto choice = parse_menu_choice(line, highest)) return py::int_(*choice);
        console::print("\n[-] Unknown option, please enter a number that corresponts to one of the options above.");
    }
}

}  // namespace marnu::ops

// `ostrel ports`: the serial devices present and the port numbers mapped to them.
#pragma once

namespace ostrel::tools {
int listPorts(bool json);
}

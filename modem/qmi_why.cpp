#include "modem/why.hpp"

bool
qmi_why(modem_state *, int64_t)
{
	return false;
}

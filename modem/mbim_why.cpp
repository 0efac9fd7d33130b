#include "modem/why.hpp"

bool
mbim_why(modem_state *, int64_t)
{
	return false;
}

#include "modem/why.hpp"

bool
at_why(modem_state *, int64_t)
{
	return false;
}

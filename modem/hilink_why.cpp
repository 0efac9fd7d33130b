#include "modem/why.hpp"

bool
hilink_why(modem_state *, int64_t)
{
	return false;
}

#include "modem/why.hpp"

bool
mm_why(modem_state *, int64_t)
{
	return false;
}

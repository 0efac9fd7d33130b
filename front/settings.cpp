#include "front/settings.hpp"

const char *port = USSDQ_DEFAULT_PORT;
std::int32_t timeout = 10;
int verbose = 0;
const char *ussd = nullptr;

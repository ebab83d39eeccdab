#pragma once
// The markup placed first in the served page's <head>: the bridge over the WebSocket
// (see shim.cpp for the protocol the page and the application speak through it).

#include <string>

std::string shimMarkup(const std::string& token);

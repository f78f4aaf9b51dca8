// authentication.cpp: placeholder until the module is written.
#include "core/module.hpp"
namespace { void exec(quillon::Module&) {} }
QUILLON_MODULE(authentication, exec)

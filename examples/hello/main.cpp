#include "greet.h"

#include <iostream>

int main()
{
    std::cout << greeting("world") << '\n';
}

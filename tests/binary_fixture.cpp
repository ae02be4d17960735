// An executable for tests/binary_test.cpp: three names for one function,
// and a function whose first line the test finds in this source.
extern "C" int a_function_of_three_names(int x) { return x + 1; }
extern "C" int ab(int) __attribute__((alias("a_function_of_three_names")));
extern "C" int aa(int) __attribute__((alias("a_function_of_three_names")));

extern "C" int located(int x) { return x * 3; }

int main(int argc, char **) { return aa(argc) + located(argc) == 0; }

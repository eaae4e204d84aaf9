/* The public header as a C program sees it. */
#include <gpiolink.h>
#include <stdio.h>

int main(void)
{
    if (GPIO_RESULT_OK != 0 || GPIO_RESULT_BIT_LOW != 8) {
        return 1;
    }
    puts("header ok");
    return 0;
}

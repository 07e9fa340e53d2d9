#ifndef GREETING_H
#define GREETING_H

const char *greeting(void);

#endif

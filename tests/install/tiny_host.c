/* The smallest host of the installed library: its version, then a catalogue call against a port
 * where nothing listens, with the answer and the error text the library keeps for it. */
#include <stdio.h>

#include <quillfen_mysqldump.h>

int main(void) {
  printf("%s\n", mdump_version());
  printf("%s\n", mdump_list_databases("{\"host\":\"127.0.0.1\",\"port\":1,\"user\":\"u\"}"));
  printf("%s\n", mdump_last_error());
  printf("%d\n", mdump_status(0));
  return 0;
}

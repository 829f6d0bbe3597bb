/* The comm and orvik headers, liborvikclient's among them, stay valid C:
 * clients and handler modules written in C include them. */
#include <comm/comm.h>
#include <orvik/client.h>
#include <orvik/conffile.h>
#include <orvik/event.h>
#include <orvik/event_p.h>

int main(void) {
  EventData event = {0};
  CommGroup *group = 0;
  return (int)sizeof event == EVENTDATA_SIZE && group == 0 ? 0 : 1;
}

// The tables a dump visits and what the worker must know of each before writing it: whether it is
// a view, and which of its columns can be given values on restore. Learnt from the server with
// one statement each (the listing, or the check of a configured list, and the column catalogue).
#ifndef MDUMP_TABLE_LIST_H
#define MDUMP_TABLE_LIST_H

#include <cstdint>

#include "mysql_client/mysql_client.h"
#include "mysqldump/config.h"

struct dump_table {
  char name[MDUMP_NAME_SIZE];
  int32_t is_view;
  // Set when the table has a generated or an invisible column: its rows are then selected and
  // inserted with an explicit column list, generated columns left out, invisible ones kept.
  int32_t explicit_columns;
  // The columns to select (or, for a view, all of them): `column_count` NUL-terminated names in
  // one heap block of `columns_len` bytes, and for each whether it is a FLOAT.
  char *columns;
  uint64_t columns_len;
  int32_t column_count;
  uint8_t *is_float;
  // Set when a column is a FLOAT. The server prints a FLOAT with 6 significant digits, which does
  // not read back as the same value; selected as a DOUBLE it prints every digit it needs.
  int32_t has_float;
};

struct table_list {
  dump_table *items;
  int32_t count;
  int32_t cap;
};

// Each returns 0, or -1 with the reason in conn's err_code / err_msg (a server's text, or a fixed
// one such as "out of memory").

// Every table and view of the connection's database, in the server's order.
int table_list_from_server(my_conn *conn, table_list *list);
// The configured names, in their order, with the views among them marked.
int table_list_from_config(my_conn *conn, const mdump_config *cfg, table_list *list);
// The column facts of every table and view in the list.
int table_list_load_columns(my_conn *conn, table_list *list);

void table_list_free(table_list *list);

#endif

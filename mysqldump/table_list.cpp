// Building the worker's list of tables. The list grows as the server names tables, so a database
// with any number of tables is dumped whole; only a configured list is bounded (by the record).
#include "mysqldump/table_list.h"

#include <cstdlib>
#include <cstring>

namespace {

const char NO_RESULT_SET[] = "no result set from server";

int out_of_memory(my_conn *conn) { return my_fail(conn, MY_ERR_NOMEM, "out of memory"); }

// The bytes of a cell as a name, cut to fit the field.
void cell_name(const my_cell *cell, char out[MDUMP_NAME_SIZE]) {
  size_t n = cell->len < MDUMP_NAME_SIZE - 1 ? static_cast<size_t>(cell->len) : MDUMP_NAME_SIZE - 1;
  memcpy(out, cell->data, n);
  out[n] = 0;
}

bool cell_is(const my_cell *cell, const char *text) {
  size_t n = strlen(text);
  return cell->data != nullptr && cell->len == n && memcmp(cell->data, text, n) == 0;
}

dump_table *append(my_conn *conn, table_list *list) {
  if (list->count == list->cap) {
    int32_t cap = list->cap == 0 ? 64 : list->cap * 2;
    void *grown = realloc(list->items, static_cast<size_t>(cap) * sizeof(dump_table));
    if (grown == nullptr) {
      out_of_memory(conn);
      return nullptr;
    }
    list->items = static_cast<dump_table *>(grown);
    list->cap = cap;
  }
  dump_table *t = &list->items[list->count++];
  memset(t, 0, sizeof *t);
  return t;
}

// One statement whose rows are handed to `on_row` with the result's column count. A failed read
// or a statement answered without rows fails the whole call: a shortened list would be a partial
// backup.
template <typename row_fn>
int for_each_row(my_conn *conn, const char *sql, row_fn on_row) {
  int rc = my_query(conn, sql);
  if (rc == 0) return my_fail(conn, MY_ERR_PROTOCOL, "%s", NO_RESULT_SET);
  if (rc < 0) return -1;
  my_meta meta;
  if (my_read_meta(conn, &meta) < 0) return -1;
  my_cell *cells = static_cast<my_cell *>(calloc(static_cast<size_t>(meta.count), sizeof(my_cell)));
  if (cells == nullptr) {
    my_meta_free(&meta);
    return out_of_memory(conn);
  }
  int r;
  int result = 0;
  while ((r = my_read_row(conn, &meta, cells)) == 1) {
    if (on_row(cells, meta.count) < 0) {
      result = -1;
      break;
    }
  }
  if (result == 0 && r < 0) result = -1;
  free(cells);
  my_meta_free(&meta);
  return result;
}

// Byte order of names, for finding a table among many without a linear search per row.
int by_name(const void *a, const void *b) {
  const dump_table *x = *static_cast<dump_table *const *>(a);
  const dump_table *y = *static_cast<dump_table *const *>(b);
  return strcmp(x->name, y->name);
}

struct name_index {
  dump_table **sorted;
  int32_t count;
};

int build_index(my_conn *conn, table_list *list, name_index *idx) {
  idx->count = list->count;
  idx->sorted = static_cast<dump_table **>(calloc(list->count > 0 ? list->count : 1, sizeof(dump_table *)));
  if (idx->sorted == nullptr) return out_of_memory(conn);
  for (int32_t i = 0; i < list->count; ++i) idx->sorted[i] = &list->items[i];
  qsort(idx->sorted, static_cast<size_t>(list->count), sizeof(dump_table *), by_name);
  return 0;
}

// Every list entry with this name (a configured list may name a table twice).
template <typename fn>
void for_each_named(const name_index *idx, const my_cell *cell, fn visit) {
  char name[MDUMP_NAME_SIZE];
  cell_name(cell, name);
  int32_t lo = 0, hi = idx->count;
  while (lo < hi) {
    int32_t mid = lo + (hi - lo) / 2;
    if (strcmp(idx->sorted[mid]->name, name) < 0) lo = mid + 1;
    else hi = mid;
  }
  for (int32_t i = lo; i < idx->count && strcmp(idx->sorted[i]->name, name) == 0; ++i) visit(idx->sorted[i]);
}

bool extra_has(const my_cell *extra, const char *word) {
  if (extra->data == nullptr) return false;
  size_t n = strlen(word);
  for (uint64_t i = 0; i + n <= extra->len; ++i)
    if (memcmp(extra->data + i, word, n) == 0) return true;
  return false;
}

int add_column(my_conn *conn, dump_table *t, const my_cell *name, bool is_float) {
  uint64_t need = t->columns_len + name->len + 1;
  void *grown = realloc(t->columns, static_cast<size_t>(need));
  if (grown == nullptr) return out_of_memory(conn);
  t->columns = static_cast<char *>(grown);
  void *flags = realloc(t->is_float, static_cast<size_t>(t->column_count) + 1);
  if (flags == nullptr) return out_of_memory(conn);
  t->is_float = static_cast<uint8_t *>(flags);
  memcpy(t->columns + t->columns_len, name->data, static_cast<size_t>(name->len));
  t->columns[need - 1] = 0;
  t->columns_len = need;
  t->is_float[t->column_count++] = is_float;
  if (is_float) t->has_float = 1;
  return 0;
}

}  // namespace

int table_list_from_server(my_conn *conn, table_list *list) {
  return for_each_row(conn, "SHOW FULL TABLES", [&](const my_cell *cells, int32_t count) {
    if (cells[0].data == nullptr) return 0;
    dump_table *t = append(conn, list);
    if (t == nullptr) return -1;
    cell_name(&cells[0], t->name);
    t->is_view = count > 1 && cell_is(&cells[1], "VIEW");
    return 0;
  });
}

int table_list_from_config(my_conn *conn, const mdump_config *cfg, table_list *list) {
  for (int32_t i = 0; i < cfg->table_count; ++i) {
    dump_table *t = append(conn, list);
    if (t == nullptr) return -1;
    memcpy(t->name, cfg->tables[i], sizeof t->name);
  }
  name_index idx;
  if (build_index(conn, list, &idx) < 0) return -1;
  int rc = for_each_row(conn,
                        "SELECT TABLE_NAME, TABLE_TYPE FROM information_schema.TABLES "
                        "WHERE TABLE_SCHEMA = DATABASE()",
                        [&](const my_cell *cells, int32_t count) {
                          if (count < 2 || cells[0].data == nullptr || !cell_is(&cells[1], "VIEW")) return 0;
                          for_each_named(&idx, &cells[0], [](dump_table *t) { t->is_view = 1; });
                          return 0;
                        });
  free(idx.sorted);
  return rc;
}

int table_list_load_columns(my_conn *conn, table_list *list) {
  name_index idx;
  if (build_index(conn, list, &idx) < 0) return -1;
  // EXTRA names generated columns ("VIRTUAL GENERATED", "STORED GENERATED") and invisible ones;
  // an expression default shows as "DEFAULT_GENERATED" and is an ordinary column.
  int rc = for_each_row(
      conn,
      "SELECT TABLE_NAME, COLUMN_NAME, EXTRA, DATA_TYPE FROM information_schema.COLUMNS "
      "WHERE TABLE_SCHEMA = DATABASE() ORDER BY TABLE_NAME, ORDINAL_POSITION",
      [&](const my_cell *cells, int32_t count) {
        if (count < 4 || cells[0].data == nullptr || cells[1].data == nullptr) return 0;
        bool generated = extra_has(&cells[2], "VIRTUAL GENERATED") || extra_has(&cells[2], "STORED GENERATED");
        bool invisible = extra_has(&cells[2], "INVISIBLE");
        bool is_float = cell_is(&cells[3], "float");
        int result = 0;
        for_each_named(&idx, &cells[0], [&](dump_table *t) {
          if (generated || invisible) t->explicit_columns = 1;
          if (!generated && result == 0) result = add_column(conn, t, &cells[1], is_float);
        });
        return result;
      });
  free(idx.sorted);
  return rc;
}

void table_list_free(table_list *list) {
  for (int32_t i = 0; i < list->count; ++i) {
    free(list->items[i].columns);
    free(list->items[i].is_float);
  }
  free(list->items);
  list->items = nullptr;
  list->count = 0;
  list->cap = 0;
}

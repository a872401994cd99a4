// What the three exported catalogue functions do; mdump_api.cpp only forwards to these. Each
// answers JSON in g_sync_buf and returns it.
#ifndef MDUMP_CATALOGUE_H
#define MDUMP_CATALOGUE_H

const char *catalogue_test_connection(const char *text);
const char *catalogue_list_databases(const char *text);
const char *catalogue_list_tables(const char *text);

#endif

/* A plain C host: the public header compiles as C and qvim.so links alone. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qvim.h"

#define CHECK(cond)                                                   \
    do {                                                              \
        if (!(cond)) {                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            return 1;                                                 \
        }                                                             \
    } while (0)

int main(void) {
    im_engine_init_s init;
    char* value = NULL;
    char* metrics = NULL;
    memset(&init, 0, sizeof init);
    init.dbPath = "c_host.db";
    remove("c_host.db");

    CHECK(get_im_state("ruleset", &value) == QVIM_E_NO_ENGINE);
    CHECK(engine_start(&init) == QVIM_OK);
    CHECK(set_im_state("rulesetList", "from C") == QVIM_OK);
    CHECK(get_im_state("rulesetList", &value) == QVIM_OK);
    CHECK(strcmp(value, "from C") == 0);
    free(value);
    CHECK(get_metrics_mem(&metrics) == QVIM_OK);
    CHECK(strstr(metrics, "\"metrics\"") != NULL);
    free_json_string(metrics);
    CHECK(engine_stop() == QVIM_OK);
    remove("c_host.db");
    return 0;
}

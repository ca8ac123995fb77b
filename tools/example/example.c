/* A minimal host: starts an engine on a fresh database in a temporary
 * folder, writes and reads back a setting, and prints the metrics document. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "qvim.h"

static void logToStderr(uint32_t level, uint32_t line, const char* function, const char* source,
                        const char* message, uint32_t length) {
    (void)line;
    (void)function;
    (void)length;
    if (level >= QVIM_LOG_WARNING) fprintf(stderr, "qvim: %s: %s\n", source, message);
}

int main(void) {
    char folder[] = "/tmp/qvim-example-XXXXXX";
    char dbPath[64];
    im_engine_init_s init;
    char* value = NULL;
    char* metrics = NULL;
    qvim_status status;

    if (mkdtemp(folder) == NULL) {
        perror("mkdtemp");
        return 2;
    }
    snprintf(dbPath, sizeof dbPath, "%s/im.db", folder);
    memset(&init, 0, sizeof init);
    init.dbPath = dbPath;
    init.logLevel = QVIM_LOG_WARNING | QVIM_LOG_ERROR;
    init.logCallback = logToStderr;

    status = engine_start(&init);
    if (status != QVIM_OK) {
        fprintf(stderr, "engine_start failed: 0x%08X\n", status);
        return 2;
    }
    printf("Engine started on %s\n", dbPath);

    if (set_im_state("rulesetList", "example-ruleset") == QVIM_OK &&
        get_im_state("rulesetList", &value) == QVIM_OK) {
        printf("Setting rulesetList = '%s'\n", value);
        free(value);
    }
    if (get_metrics_mem(&metrics) == QVIM_OK) {
        printf("Metrics: %s\n", metrics);
        free_json_string(metrics);
    }
    engine_stop();
    unlink(dbPath);
    rmdir(folder);
    return 0;
}

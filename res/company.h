// The company name of every program's version resource, which the
// launcher also registers as the hotfix's publisher.
#define QX_COMPANY_NAME "Quorvex Support"

/* Symbol export and C linkage helpers shared by the libtarnu headers. */
#ifndef TARNU_EXPORT_H_
#define TARNU_EXPORT_H_

#if defined(TARNU_BUILDING)
#define TARNU_EXPORT __attribute__((visibility("default")))
#else
#define TARNU_EXPORT
#endif

#ifdef __cplusplus
#define TARNU_BEGIN_DECLS extern "C" {
#define TARNU_END_DECLS }
#else
#define TARNU_BEGIN_DECLS
#define TARNU_END_DECLS
#endif

#endif /* TARNU_EXPORT_H_ */
